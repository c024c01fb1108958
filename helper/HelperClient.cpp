#include "helper/HelperClient.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include "common/ASTCommonFunc.h"
#include "helper/HelperProtocol.h"

namespace {

// A password prompt waits for a person; anything else answers at once.
constexpr uint64_t INTERACTIVE_TIMEOUT_USEC = 10ULL * 60 * 1000 * 1000;
constexpr uint64_t PLAIN_TIMEOUT_USEC = 30ULL * 1000 * 1000;

struct Bus {
    sd_bus* bus = nullptr;
    ~Bus() { sd_bus_flush_close_unref(bus); }
};

struct Message {
    sd_bus_message* m = nullptr;
    ~Message() { sd_bus_message_unref(m); }
};

struct Error {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    ~Error() { sd_bus_error_free(&e); }
};

HelperReply FromError(const sd_bus_error& error, int r) {
    HelperReply reply;
    reply.message = error.message != nullptr ? error.message : std::strerror(-r);
    if (sd_bus_error_has_name(&error, HELPER_ERROR_NOT_AUTHORIZED))
        reply.outcome = HelperOutcome::NotAuthorized;
    else if (sd_bus_error_has_name(&error, HELPER_ERROR_INVALID_SETTINGS))
        reply.outcome = HelperOutcome::InvalidSettings;
    else if (sd_bus_error_has_name(&error, HELPER_ERROR_INVALID_ARGUMENTS) ||
             sd_bus_error_has_name(&error, HELPER_ERROR_FAILED))
        reply.outcome = HelperOutcome::Failed;
    else // no bus, no such name, activation failed, the helper died
        reply.outcome = HelperOutcome::Unavailable;
    return reply;
}

// Builds a call with `fill`, sends it and hands the answer to `read`.
template <typename Fill, typename Read>
HelperReply Call(const char* method, bool interactive, Fill fill, Read read) {
    HelperReply reply;
    Bus bus;
    int r = sd_bus_open_system(&bus.bus);
    if (r < 0) {
        reply.message = std::string("cannot reach the system bus: ") + std::strerror(-r);
        return reply;
    }
    Message call;
    r = sd_bus_message_new_method_call(bus.bus, &call.m, HELPER_BUS_NAME, HELPER_OBJECT_PATH,
                                       HELPER_INTERFACE, method);
    if (r >= 0)
        r = sd_bus_message_set_allow_interactive_authorization(call.m, interactive ? 1 : 0);
    if (r >= 0)
        r = fill(call.m);
    if (r < 0) {
        reply.outcome = HelperOutcome::Failed;
        reply.message = std::string("cannot build the request: ") + std::strerror(-r);
        return reply;
    }
    Error error;
    Message answer;
    r = sd_bus_call(bus.bus, call.m, interactive ? INTERACTIVE_TIMEOUT_USEC : PLAIN_TIMEOUT_USEC,
                    &error.e, &answer.m);
    if (r < 0)
        return FromError(error.e, r);
    reply.outcome = HelperOutcome::Done;
    if (read(answer.m, reply) < 0) {
        reply.outcome = HelperOutcome::Failed;
        reply.message = "the helper's answer could not be read";
    }
    return reply;
}

int NoArguments(sd_bus_message*) {
    return 0;
}

int OneFlag(sd_bus_message* m, HelperReply& reply) {
    int flag = 0;
    const int r = sd_bus_message_read(m, "b", &flag);
    reply.first = flag != 0;
    return r;
}

} // namespace

HelperReply HelperSaveSettings(const HelperSettings& settings, bool interactive) {
    return Call(
        "SaveSettings", interactive,
        [&settings](sd_bus_message* m) {
            int r = sd_bus_message_open_container(m, 'a', "(ss)");
            for (const auto& [name, value] : settings) {
                if (r >= 0)
                    r = sd_bus_message_append(m, "(ss)", name.c_str(), value.c_str());
            }
            return r < 0 ? r : sd_bus_message_close_container(m);
        },
        [](sd_bus_message* m, HelperReply& reply) {
            int first = 0;
            int second = 0;
            const int r = sd_bus_message_read(m, "bb", &first, &second);
            reply.first = first != 0;
            reply.second = second != 0;
            return r;
        });
}

HelperReply HelperSetLanguage(int32_t number, bool interactive) {
    return Call(
        "SetLanguage", interactive,
        [number](sd_bus_message* m) { return sd_bus_message_append(m, "i", number); },
        [](sd_bus_message*, HelperReply&) { return 0; });
}

HelperReply HelperClearToolTag() {
    return Call("ClearToolTag", false, NoArguments, OneFlag);
}

HelperReply HelperMarkAgentUnreachable() {
    return Call("MarkAgentUnreachable", false, NoArguments, OneFlag);
}

HelperAccess HelperConfigureAccess() {
    std::string answer;
    const HelperReply reply =
        Call("ConfigureAccess", false, NoArguments, [&answer](sd_bus_message* m, HelperReply&) {
            const char* text = nullptr;
            const int r = sd_bus_message_read(m, "s", &text);
            if (r >= 0 && text != nullptr)
                answer = text;
            return r;
        });
    if (reply.outcome == HelperOutcome::Unavailable)
        return HelperAccess::Unavailable;
    if (!reply.Done())
        return HelperAccess::No;
    if (answer == "yes")
        return HelperAccess::Yes;
    return answer == "auth" ? HelperAccess::Authenticate : HelperAccess::No;
}

bool WritesAgentFilesDirectly() {
    const uid_t me = ::geteuid();
    if (me == 0)
        return true;
    std::string home;
    if (!GetModuleDirectory(home))
        return false;
    struct stat info {};
    return ::stat(home.c_str(), &info) == 0 && info.st_uid == me;
}

AgentSettingsAccess CheckSettingsAccess() {
    AgentSettingsAccess access = CheckAgentSettingsAccess();
    if (WritesAgentFilesDirectly())
        return access;
    access.throughHelper = true;
    // Without the values there is nothing to change them from.
    if (!access.readable) {
        access.changeable = false;
        return access;
    }
    const HelperAccess helper = HelperConfigureAccess();
    access.changeable = helper == HelperAccess::Yes || helper == HelperAccess::Authenticate;
    return access;
}
