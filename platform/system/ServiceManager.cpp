#include "platform/system/ServiceManager.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <system_error>

#include <systemd/sd-bus.h>

#include "platform/system/Utf.h"

namespace {

constexpr const char* kSystemd = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
constexpr const char* kJobInterface = "org.freedesktop.systemd1.Job";

constexpr std::string_view kUnitSuffixes[] = {".service",   ".socket", ".device", ".mount",
                                              ".automount", ".swap",   ".target", ".path",
                                              ".timer",     ".slice",  ".scope"};

// The manager's own texts for the answers that systemd does not give.
constexpr const char16_t* kAlreadyRunningText = u"An instance of the service is already running.";
constexpr const char16_t* kNotActiveText = u"The service has not been started.";

struct BusError {
    sd_bus_error value = SD_BUS_ERROR_NULL;
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&value); }
};

struct BusMessage {
    sd_bus_message* value = nullptr;
    BusMessage() = default;
    BusMessage(const BusMessage&) = delete;
    BusMessage& operator=(const BusMessage&) = delete;
    ~BusMessage() { sd_bus_message_unref(value); }
};

struct BusString {
    char* value = nullptr;
    BusString() = default;
    BusString(const BusString&) = delete;
    BusString& operator=(const BusString&) = delete;
    ~BusString() { std::free(value); }
};

std::u16string Widen(std::string_view text) {
    std::u16string wide;
    if (Utf8ToUtf16(text, wide))
        return wide;
    // D-Bus guarantees UTF-8; keep whatever is ASCII if somebody broke that.
    wide.clear();
    for (const char c : text)
        wide.push_back(static_cast<unsigned char>(c) < 0x80 ? static_cast<char16_t>(c) : u'?');
    return wide;
}

void SetError(ServiceError& error, long code, std::u16string text) {
    error.code = code;
    error.text = std::move(text);
    error.authorizationRefused = false;
}

// A failed bus call: the errno that sd-bus derives from the D-Bus error name
// gives the number, the error's message the text shown to the user.
void SetBusError(ServiceError& error, const sd_bus_error& busError, int result) {
    int number = sd_bus_error_is_set(&busError) ? sd_bus_error_get_errno(&busError) : -result;
    if (number <= 0)
        number = EIO;
    std::string text;
    if (busError.message != nullptr && *busError.message != '\0')
        text = busError.message;
    else if (busError.name != nullptr)
        text = busError.name;
    else
        text = std::generic_category().message(number);
    SetError(error, Win32ErrorFromErrno(number), Widen(text));
    error.authorizationRefused = busError.name != nullptr && IsAuthorizationRefusal(busError.name);
}

bool IsStartJob(std::string_view jobType) {
    return jobType == "start" || jobType == "restart" || jobType == "reload-or-start";
}

} // namespace

bool IsAuthorizationRefusal(std::string_view busErrorName) {
    return busErrorName == "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired" ||
           busErrorName == "org.freedesktop.DBus.Error.AccessDenied";
}

std::string ServiceUnitName(std::string_view serviceName) {
    for (const std::string_view suffix : kUnitSuffixes) {
        if (serviceName.size() > suffix.size() && serviceName.ends_with(suffix))
            return std::string(serviceName);
    }
    return std::string(serviceName) + ".service";
}

unsigned long ServiceStateFromUnit(std::string_view activeState, std::string_view jobType) {
    unsigned long state = SERVICE_STOPPED;
    if (activeState == "active" || activeState == "reloading" || activeState == "refreshing")
        state = SERVICE_RUNNING;
    else if (activeState == "activating")
        state = SERVICE_START_PENDING;
    else if (activeState == "deactivating")
        state = SERVICE_STOP_PENDING;

    // Between StartUnit's answer and the job's first step the unit still
    // reads "inactive"; a waiter that took that for the final state would
    // report a failed start of a service that is coming up.
    if (state == SERVICE_STOPPED && IsStartJob(jobType))
        return SERVICE_START_PENDING;
    if (state == SERVICE_RUNNING && jobType == "stop")
        return SERVICE_STOP_PENDING;
    return state;
}

ServiceManager::~ServiceManager() {
    Close();
}

bool ServiceManager::Open(std::u16string_view serviceName, ServiceError& error) {
    Close();
    std::string name;
    if (!Utf16ToUtf8(serviceName, name)) {
        SetError(error, ERROR_INVALID_DATA, u"The data is invalid.");
        return false;
    }
    sd_bus* bus = nullptr;
    const int result = sd_bus_open_system(&bus);
    if (result < 0) {
        SetError(error, Win32ErrorFromErrno(-result),
                 Widen("Failed to connect to the system bus: " +
                       std::generic_category().message(-result)));
        return false;
    }
    m_bus = bus;
    m_unit = ServiceUnitName(name);
    m_unitPath.clear();
    return true;
}

void ServiceManager::Close() {
    if (m_bus != nullptr)
        sd_bus_flush_close_unref(m_bus);
    m_bus = nullptr;
    m_unit.clear();
    m_unitPath.clear();
}

bool ServiceManager::IsConnected() const {
    return m_bus != nullptr && sd_bus_is_open(m_bus) > 0;
}

bool ServiceManager::ReadUnit(UnitState& unit, bool withLoadState, ServiceError& error) {
    if (m_bus == nullptr) {
        SetError(error, ERROR_INVALID_HANDLE, u"The handle is invalid.");
        return false;
    }
    BusError busError;
    int result = 0;
    if (m_unitPath.empty()) {
        // LoadUnit rather than GetUnit: GetUnit fails for a unit that is
        // installed but not loaded at the moment, which is simply stopped.
        BusMessage reply;
        result = sd_bus_call_method(m_bus, kSystemd, kManagerPath, kManagerInterface, "LoadUnit",
                                    &busError.value, &reply.value, "s", m_unit.c_str());
        const char* path = nullptr;
        if (result >= 0)
            result = sd_bus_message_read(reply.value, "o", &path);
        if (result < 0) {
            SetBusError(error, busError.value, result);
            return false;
        }
        m_unitPath = path;
    }

    const auto readString = [&](const char* property, std::string& value) {
        BusString text;
        result = sd_bus_get_property_string(m_bus, kSystemd, m_unitPath.c_str(), kUnitInterface,
                                            property, &busError.value, &text.value);
        if (result < 0)
            return false;
        value = text.value;
        return true;
    };
    if (!readString("ActiveState", unit.activeState) ||
        (withLoadState && !readString("LoadState", unit.loadState))) {
        SetBusError(error, busError.value, result);
        return false;
    }

    BusMessage reply;
    result = sd_bus_get_property(m_bus, kSystemd, m_unitPath.c_str(), kUnitInterface, "Job",
                                 &busError.value, &reply.value, "(uo)");
    std::uint32_t jobId = 0;
    const char* jobPath = nullptr;
    if (result >= 0)
        result = sd_bus_message_read(reply.value, "(uo)", &jobId, &jobPath);
    if (result < 0) {
        SetBusError(error, busError.value, result);
        return false;
    }
    unit.jobType.clear();
    if (jobId != 0) {
        // The job may finish between the two reads; then there is none.
        BusError jobError;
        BusString type;
        if (sd_bus_get_property_string(m_bus, kSystemd, jobPath, kJobInterface, "JobType",
                                       &jobError.value, &type.value) >= 0)
            unit.jobType = type.value;
    }
    return true;
}

bool ServiceManager::QueueJob(const char* method, ServiceError& error) {
    BusMessage call;
    BusMessage reply;
    BusError busError;
    int result = sd_bus_message_new_method_call(m_bus, &call.value, kSystemd, kManagerPath,
                                                kManagerInterface, method);
    if (result >= 0)
        result = sd_bus_message_append(call.value, "ss", m_unit.c_str(), "replace");
    // Lets polkit ask an administrator for a password instead of refusing
    // outright, as the manager's own elevation prompt would.
    if (result >= 0)
        result = sd_bus_message_set_allow_interactive_authorization(call.value, 1);
    if (result >= 0)
        result = sd_bus_call(m_bus, call.value, 0, &busError.value, &reply.value);
    if (result < 0) {
        SetBusError(error, busError.value, result);
        return false;
    }
    return true;
}

bool ServiceManager::Start(ServiceError& error) {
    UnitState unit;
    if (!ReadUnit(unit, false, error))
        return false;
    const unsigned long state = ServiceStateFromUnit(unit.activeState, unit.jobType);
    if (state == SERVICE_RUNNING || state == SERVICE_START_PENDING) {
        SetError(error, ERROR_SERVICE_ALREADY_RUNNING, kAlreadyRunningText);
        return false;
    }
    return QueueJob("StartUnit", error);
}

bool ServiceManager::Stop(ServiceError& error) {
    UnitState unit;
    if (!ReadUnit(unit, true, error))
        return false;
    // A unit that does not exist goes on to systemd, whose answer names the
    // real problem.
    if (ServiceStateFromUnit(unit.activeState, unit.jobType) == SERVICE_STOPPED &&
        unit.loadState != "not-found") {
        SetError(error, ERROR_SERVICE_NOT_ACTIVE, kNotActiveText);
        return false;
    }
    return QueueJob("StopUnit", error);
}

bool ServiceManager::QueryState(unsigned long& state, ServiceError& error) {
    UnitState unit;
    if (!ReadUnit(unit, false, error))
        return false;
    state = ServiceStateFromUnit(unit.activeState, unit.jobType);
    return true;
}

bool ServiceManager::QueryUnit(unsigned long& state, std::string& loadState, ServiceError& error) {
    UnitState unit;
    if (!ReadUnit(unit, true, error))
        return false;
    state = ServiceStateFromUnit(unit.activeState, unit.jobType);
    loadState = unit.loadState;
    return true;
}
