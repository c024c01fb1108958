// A stand-in for systemd's manager on a private bus: just enough of
// org.freedesktop.systemd1 for the service manager (LoadUnit, StartUnit,
// StopUnit, the units' ActiveState / LoadState / Job and the jobs' JobType),
// plus a control interface through which a test sets up units and scripts
// their state changes.
//
// A script is a comma-separated list of states, each but the last with a
// count: "activating*3,active" reads "activating" on the next three reads of
// ActiveState and "active" from then on. While a scripted start or stop is
// under way the unit carries a job of that type, as systemd's units do.
//
// Usage: opal_fake_systemd <bus address>. Prints "READY" once it owns the
// name; ends when the bus goes away or on SIGTERM.

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>

namespace {

constexpr const char* kUnitPrefix = "/org/freedesktop/systemd1/unit";
constexpr const char* kJobPrefix = "/org/freedesktop/systemd1/job";

struct Step {
    std::string state;
    unsigned count = 0;
    // A timed step: how long it lasts, and when it ends once it has begun.
    std::uint64_t durationMs = 0;
    std::uint64_t endsAtMs = 0;
};

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

struct Unit {
    std::string name;
    std::string loadState = "loaded";
    std::string current = "inactive";
    std::string final = "inactive";
    std::deque<Step> steps;
    std::string startScript = "active";
    std::string stopScript = "inactive";
    std::uint32_t jobId = 0;
    std::string jobType;
    bool inScript = false;
    unsigned activeStateReads = 0;
};

struct Failure {
    unsigned skip = 0;
    std::string name;
    std::string message;
};

struct State {
    std::map<std::string, std::unique_ptr<Unit>> units;
    std::map<std::string, Failure> failures; // by method or property name
    std::vector<std::string> calls;
    std::uint32_t nextJob = 1;
};

State g_state;

bool ParseScript(const std::string& script, std::deque<Step>& steps, std::string& final) {
    steps.clear();
    std::size_t begin = 0;
    for (;;) {
        const std::size_t comma = script.find(',', begin);
        const std::string token =
            script.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
        if (comma == std::string::npos) {
            final = token.substr(0, token.find('*'));
            return !final.empty();
        }
        const std::size_t at = token.find('@');
        if (at != std::string::npos) {
            const long duration = std::strtol(token.c_str() + at + 1, nullptr, 10);
            if (at == 0 || duration <= 0)
                return false;
            steps.push_back({token.substr(0, at), 0, static_cast<std::uint64_t>(duration), 0});
            begin = comma + 1;
            continue;
        }
        const std::size_t star = token.find('*');
        if (star == std::string::npos || star == 0)
            return false;
        const long count = std::strtol(token.c_str() + star + 1, nullptr, 10);
        if (count <= 0)
            return false;
        steps.push_back({token.substr(0, star), static_cast<unsigned>(count)});
        begin = comma + 1;
    }
}

// Runs `script` on the unit; a script with steps keeps a job of `jobType`
// on the unit until its last step has been read.
bool RunScript(Unit& unit, const std::string& script, const char* jobType) {
    if (!ParseScript(script, unit.steps, unit.final))
        return false;
    if (unit.steps.empty()) {
        unit.current = unit.final;
        unit.inScript = false;
        unit.jobId = 0;
        unit.jobType.clear();
        return true;
    }
    unit.inScript = true;
    // Time runs from the job's start, read or not.
    if (unit.steps.front().durationMs > 0)
        unit.steps.front().endsAtMs = NowMs() + unit.steps.front().durationMs;
    if (*jobType != '\0') {
        unit.jobId = g_state.nextJob++;
        unit.jobType = jobType;
    } else {
        unit.current = unit.steps.front().state;
    }
    return true;
}

std::string NextState(Unit& unit) {
    ++unit.activeStateReads;
    const std::uint64_t now = NowMs();
    while (!unit.steps.empty()) {
        Step& step = unit.steps.front();
        if (step.durationMs == 0) {
            unit.current = step.state;
            if (--step.count == 0)
                unit.steps.pop_front();
            return unit.current;
        }
        if (step.endsAtMs == 0)
            step.endsAtMs = now + step.durationMs;
        if (now < step.endsAtMs) {
            unit.current = step.state;
            return unit.current;
        }
        const std::uint64_t ended = step.endsAtMs;
        unit.steps.pop_front();
        if (!unit.steps.empty() && unit.steps.front().durationMs > 0)
            unit.steps.front().endsAtMs = ended + unit.steps.front().durationMs;
    }
    unit.current = unit.final;
    unit.inScript = false;
    unit.jobId = 0;
    unit.jobType.clear();
    return unit.current;
}

// systemd loads a unit it does not know as a "not-found" stub.
Unit& LoadUnit(const std::string& name) {
    auto& slot = g_state.units[name];
    if (!slot) {
        slot = std::make_unique<Unit>();
        slot->name = name;
        slot->loadState = "not-found";
    }
    return *slot;
}

// A negative errno (and the error set) when a failure was asked for this
// occurrence, else 0.
int InjectedFailure(const std::string& what, sd_bus_error* error) {
    const auto found = g_state.failures.find(what);
    if (found == g_state.failures.end())
        return 0;
    if (found->second.skip > 0) {
        --found->second.skip;
        return 0;
    }
    const Failure failure = found->second;
    g_state.failures.erase(found);
    const int r = sd_bus_error_set(error, failure.name.c_str(), failure.message.c_str());
    return r < 0 ? r : -EIO;
}

std::string PathOf(const std::string& prefix, const std::string& id) {
    char* path = nullptr;
    if (sd_bus_path_encode(prefix.c_str(), id.c_str(), &path) < 0)
        return "/";
    std::string result = path;
    std::free(path);
    return result;
}

std::string JobPath(std::uint32_t id) {
    return std::string(kJobPrefix) + "/" + std::to_string(id);
}

int ReplyUnitPath(sd_bus_message* message, const Unit& unit) {
    return sd_bus_reply_method_return(message, "o", PathOf(kUnitPrefix, unit.name).c_str());
}

int MethodLoadUnit(sd_bus_message* message, void*, sd_bus_error* error) {
    const char* name = nullptr;
    if (const int r = sd_bus_message_read(message, "s", &name); r < 0)
        return r;
    g_state.calls.push_back(std::string("LoadUnit ") + name);
    if (const int r = InjectedFailure("LoadUnit", error); r < 0)
        return r;
    return ReplyUnitPath(message, LoadUnit(name));
}

int QueueJob(sd_bus_message* message, sd_bus_error* error, bool start) {
    const char* name = nullptr;
    const char* mode = nullptr;
    if (const int r = sd_bus_message_read(message, "ss", &name, &mode); r < 0)
        return r;
    const char* method = start ? "StartUnit" : "StopUnit";
    g_state.calls.push_back(
        std::string(method) + " " + name + " " + mode + " interactive=" +
        std::to_string(sd_bus_message_get_allow_interactive_authorization(message)));
    if (const int r = InjectedFailure(method, error); r < 0)
        return r;
    if (std::strcmp(mode, "replace") != 0 && std::strcmp(mode, "fail") != 0 &&
        std::strcmp(mode, "isolate") != 0)
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "Job mode %s invalid.", mode);
    Unit& unit = LoadUnit(name);
    if (unit.loadState == "not-found")
        return sd_bus_error_setf(error, "org.freedesktop.systemd1.NoSuchUnit",
                                 start ? "Unit %s not found." : "Unit %s not loaded.", name);
    if (!RunScript(unit, start ? unit.startScript : unit.stopScript, start ? "start" : "stop"))
        return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "Bad script.");
    const std::uint32_t job = unit.jobId != 0 ? unit.jobId : g_state.nextJob++;
    return sd_bus_reply_method_return(message, "o", JobPath(job).c_str());
}

int MethodStartUnit(sd_bus_message* message, void*, sd_bus_error* error) {
    return QueueJob(message, error, true);
}

int MethodStopUnit(sd_bus_message* message, void*, sd_bus_error* error) {
    return QueueJob(message, error, false);
}

int FindUnit(sd_bus*, const char* path, const char*, void*, void** found, sd_bus_error*) {
    char* name = nullptr;
    if (sd_bus_path_decode(path, kUnitPrefix, &name) <= 0)
        return 0;
    const auto unit = g_state.units.find(name);
    std::free(name);
    if (unit == g_state.units.end())
        return 0;
    *found = unit->second.get();
    return 1;
}

Unit* FindJobUnit(const char* path) {
    const std::string prefix = std::string(kJobPrefix) + "/";
    if (std::strncmp(path, prefix.c_str(), prefix.size()) != 0)
        return nullptr;
    const unsigned long id = std::strtoul(path + prefix.size(), nullptr, 10);
    for (auto& [name, unit] : g_state.units) {
        if (unit->jobId != 0 && unit->jobId == id)
            return unit.get();
    }
    return nullptr;
}

int FindJob(sd_bus*, const char* path, const char*, void*, void** found, sd_bus_error*) {
    Unit* unit = FindJobUnit(path);
    if (unit == nullptr)
        return 0;
    *found = unit;
    return 1;
}

int GetActiveState(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                   void* userdata, sd_bus_error* error) {
    if (const int r = InjectedFailure("ActiveState", error); r < 0)
        return r;
    return sd_bus_message_append(reply, "s", NextState(*static_cast<Unit*>(userdata)).c_str());
}

int GetLoadState(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                 void* userdata, sd_bus_error*) {
    return sd_bus_message_append(reply, "s", static_cast<Unit*>(userdata)->loadState.c_str());
}

int GetId(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
          sd_bus_error*) {
    return sd_bus_message_append(reply, "s", static_cast<Unit*>(userdata)->name.c_str());
}

int GetJob(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
           sd_bus_error*) {
    const Unit& unit = *static_cast<Unit*>(userdata);
    if (unit.jobId == 0)
        return sd_bus_message_append(reply, "(uo)", 0u, "/");
    return sd_bus_message_append(reply, "(uo)", unit.jobId, JobPath(unit.jobId).c_str());
}

int GetJobId(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
             sd_bus_error*) {
    return sd_bus_message_append(reply, "u", static_cast<Unit*>(userdata)->jobId);
}

int GetJobType(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
               void* userdata, sd_bus_error*) {
    return sd_bus_message_append(reply, "s", static_cast<Unit*>(userdata)->jobType.c_str());
}

int GetJobState(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                sd_bus_error*) {
    return sd_bus_message_append(reply, "s", "running");
}

int ControlAddUnit(sd_bus_message* message, void*, sd_bus_error* error) {
    const char* name = nullptr;
    const char* loadState = nullptr;
    const char* activeScript = nullptr;
    const char* startScript = nullptr;
    const char* stopScript = nullptr;
    if (const int r = sd_bus_message_read(message, "sssss", &name, &loadState, &activeScript,
                                          &startScript, &stopScript);
        r < 0)
        return r;
    auto unit = std::make_unique<Unit>();
    unit->name = name;
    unit->loadState = loadState;
    unit->startScript = startScript;
    unit->stopScript = stopScript;
    std::deque<Step> steps;
    std::string final;
    if (!ParseScript(startScript, steps, final) || !ParseScript(stopScript, steps, final) ||
        !RunScript(*unit, activeScript, ""))
        return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "Bad script.");
    g_state.units[name] = std::move(unit);
    return sd_bus_reply_method_return(message, "");
}

int ControlFailNext(sd_bus_message* message, void*, sd_bus_error*) {
    const char* what = nullptr;
    std::uint32_t skip = 0;
    const char* name = nullptr;
    const char* text = nullptr;
    if (const int r = sd_bus_message_read(message, "suss", &what, &skip, &name, &text); r < 0)
        return r;
    g_state.failures[what] = Failure{skip, name, text};
    return sd_bus_reply_method_return(message, "");
}

int ControlCalls(sd_bus_message* message, void*, sd_bus_error*) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(message, &reply);
    if (r >= 0)
        r = sd_bus_message_open_container(reply, 'a', "s");
    for (const auto& call : g_state.calls) {
        if (r >= 0)
            r = sd_bus_message_append(reply, "s", call.c_str());
    }
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    if (r >= 0)
        r = sd_bus_send(sd_bus_message_get_bus(message), reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

int ControlReads(sd_bus_message* message, void*, sd_bus_error*) {
    const char* name = nullptr;
    if (const int r = sd_bus_message_read(message, "s", &name); r < 0)
        return r;
    const auto unit = g_state.units.find(name);
    return sd_bus_reply_method_return(
        message, "u", unit == g_state.units.end() ? 0u : unit->second->activeStateReads);
}

const sd_bus_vtable kManagerVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("LoadUnit", "s", "o", MethodLoadUnit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StartUnit", "ss", "o", MethodStartUnit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StopUnit", "ss", "o", MethodStopUnit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kUnitVtable[] = {SD_BUS_VTABLE_START(0),
                                     SD_BUS_PROPERTY("Id", "s", GetId, 0, 0),
                                     SD_BUS_PROPERTY("LoadState", "s", GetLoadState, 0, 0),
                                     SD_BUS_PROPERTY("ActiveState", "s", GetActiveState, 0, 0),
                                     SD_BUS_PROPERTY("Job", "(uo)", GetJob, 0, 0),
                                     SD_BUS_VTABLE_END};

const sd_bus_vtable kJobVtable[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("Id", "u", GetJobId, 0, 0),
    SD_BUS_PROPERTY("JobType", "s", GetJobType, 0, 0),
    SD_BUS_PROPERTY("State", "s", GetJobState, 0, 0), SD_BUS_VTABLE_END};

const sd_bus_vtable kControlVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("AddUnit", "sssss", "", ControlAddUnit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("FailNext", "suss", "", ControlFailNext, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Calls", "", "as", ControlCalls, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Reads", "s", "u", ControlReads, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

int Fail(const char* what, int r) {
    std::fprintf(stderr, "opal_fake_systemd: %s: %s\n", what, std::strerror(-r));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <bus address>\n", argv[0]);
        return 2;
    }
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0)
        r = sd_bus_set_address(bus, argv[1]);
    if (r >= 0)
        r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0)
        r = sd_bus_start(bus);
    if (r < 0)
        return Fail("connect", r);
    r = sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/systemd1",
                                 "org.freedesktop.systemd1.Manager", kManagerVtable, nullptr);
    if (r >= 0)
        r = sd_bus_add_fallback_vtable(bus, nullptr, kUnitPrefix, "org.freedesktop.systemd1.Unit",
                                       kUnitVtable, FindUnit, nullptr);
    if (r >= 0)
        r = sd_bus_add_fallback_vtable(bus, nullptr, kJobPrefix, "org.freedesktop.systemd1.Job",
                                       kJobVtable, FindJob, nullptr);
    if (r >= 0)
        r = sd_bus_add_object_vtable(bus, nullptr, "/org/opal/test/FakeSystemd",
                                     "org.opal.test.FakeSystemd", kControlVtable, nullptr);
    if (r < 0)
        return Fail("vtables", r);
    r = sd_bus_request_name(bus, "org.freedesktop.systemd1", 0);
    if (r < 0)
        return Fail("request name", r);
    std::printf("READY\n");
    std::fflush(stdout);

    for (;;) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0)
            break;
        if (r > 0)
            continue;
        r = sd_bus_wait(bus, UINT64_MAX);
        if (r < 0 && r != -EINTR)
            break;
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}
