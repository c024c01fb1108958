#include "tests/platform/system/FakeSystemBus.h"

#include "tests/support/TestSupport.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

namespace testsupport {

namespace {

constexpr const char* kControlPath = "/org/opal/test/FakeSystemd";
constexpr const char* kControlInterface = "org.opal.test.FakeSystemd";
constexpr int kStartTimeoutMs = 10000;

// Runs `args` with its standard output on `outputFd`. The child dies with
// this process, so a crashed test leaves no bus behind.
pid_t Spawn(const std::vector<std::string>& args, int outputFd) {
    testsupport::ChildOutput output;
    output.stdoutFd = outputFd;
    output.deathSignal = SIGKILL;
    return testsupport::SpawnChild(args, output);
}

// One line from `fd`, without its newline; empty on time-out or end of file.
std::string ReadLine(int fd, int timeoutMs) {
    std::string line;
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return {};
        char c = 0;
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return {};
        if (c == '\n')
            return line;
        line.push_back(c);
    }
}

void Terminate(pid_t& pid) {
    testsupport::StopChild(pid);
}

// Starts `args` and returns the first line it prints; the read end of its
// output stays open in `keepFd` so that later writes cannot kill it.
std::string StartAndReadLine(const std::vector<std::string>& args, pid_t& pid, int& keepFd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return {};
    pid = Spawn(args, fds[1]);
    ::close(fds[1]);
    keepFd = fds[0];
    if (pid < 0)
        return {};
    return ReadLine(fds[0], kStartTimeoutMs);
}

} // namespace

FakeSystemBus::~FakeSystemBus() {
    Stop();
}

std::string FakeSystemBus::Start() {
    return StartWith("session", "  <policy context=\"default\">\n"
                                "    <allow user=\"*\"/>\n"
                                "    <allow own=\"*\"/>\n"
                                "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                                "    <allow eavesdrop=\"true\"/>\n"
                                "  </policy>\n");
}

std::string FakeSystemBus::StartSystemBus(const std::string& policy) {
    // Other users reach the socket through the directory.
    fs::permissions(m_dir.Path(), fs::perms::owner_all | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read |
                                      fs::perms::others_exec);
    return StartWith("system", policy);
}

std::string FakeSystemBus::StartWith(const std::string& type, const std::string& policy) {
    const std::string config = m_dir / "bus.conf";
    WriteFileBytes(config,
                   "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration "
                   "1.0//EN\"\n \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig>\n"
                   "  <type>" +
                       type +
                       "</type>\n"
                       "  <listen>unix:path=" +
                       (m_dir / "system_bus_socket") +
                       "</listen>\n"
                       "  <auth>EXTERNAL</auth>\n" +
                       policy + "</busconfig>\n");
    m_address = StartAndReadLine(
        {"dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile", "--print-address=1"},
        m_daemon, m_daemonOutput);
    if (m_address.empty())
        return "dbus-daemon did not start";
    if (StartAndReadLine({OPAL_FAKE_SYSTEMD, m_address}, m_fake, m_fakeOutput) != "READY")
        return "the fake systemd did not start";

    int r = sd_bus_new(&m_control);
    if (r >= 0)
        r = sd_bus_set_address(m_control, m_address.c_str());
    if (r >= 0)
        r = sd_bus_set_bus_client(m_control, 1);
    if (r >= 0)
        r = sd_bus_start(m_control);
    if (r < 0)
        return "cannot reach the private bus";

    const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    m_hadPreviousAddress = previous != nullptr;
    m_previousAddress = previous != nullptr ? previous : "";
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.c_str(), 1);
    return {};
}

void FakeSystemBus::Stop() {
    if (m_control != nullptr)
        sd_bus_flush_close_unref(m_control);
    m_control = nullptr;
    Terminate(m_fake);
    Terminate(m_daemon);
    for (int* fd : {&m_fakeOutput, &m_daemonOutput}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    if (!m_address.empty()) {
        if (m_hadPreviousAddress)
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", m_previousAddress.c_str(), 1);
        else
            ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        m_address.clear();
    }
}

bool FakeSystemBus::Call(sd_bus_message** reply, const char* method, const char* signature, ...) {
    if (m_control == nullptr) {
        ADD_FAILURE() << "the fake systemd is not running";
        return false;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    va_list args;
    va_start(args, signature);
    const int r = sd_bus_call_methodv(m_control, "org.freedesktop.systemd1", kControlPath,
                                      kControlInterface, method, &error, reply, signature, args);
    va_end(args);
    if (r < 0)
        ADD_FAILURE() << method << " on the fake systemd failed: "
                      << (error.message != nullptr ? error.message : "?");
    sd_bus_error_free(&error);
    return r >= 0;
}

void FakeSystemBus::AddUnit(const std::string& name, const std::string& activeScript,
                            const std::string& startScript, const std::string& stopScript,
                            const std::string& loadState) {
    Call(nullptr, "AddUnit", "sssss", name.c_str(), loadState.c_str(), activeScript.c_str(),
         startScript.c_str(), stopScript.c_str());
}

void FakeSystemBus::FailNext(const std::string& what, const std::string& errorName,
                             const std::string& message, std::uint32_t skip) {
    Call(nullptr, "FailNext", "suss", what.c_str(), skip, errorName.c_str(), message.c_str());
}

std::vector<std::string> FakeSystemBus::Calls() {
    sd_bus_message* reply = nullptr;
    std::vector<std::string> calls;
    if (!Call(&reply, "Calls", ""))
        return calls;
    char** strings = nullptr;
    if (sd_bus_message_read_strv(reply, &strings) >= 0 && strings != nullptr) {
        for (char** s = strings; *s != nullptr; ++s) {
            calls.emplace_back(*s);
            std::free(*s);
        }
        std::free(strings);
    }
    sd_bus_message_unref(reply);
    return calls;
}

std::vector<std::string> FakeSystemBus::JobCalls() {
    std::vector<std::string> jobs;
    for (auto& call : Calls()) {
        if (call.rfind("LoadUnit ", 0) != 0)
            jobs.push_back(std::move(call));
    }
    return jobs;
}

std::uint32_t FakeSystemBus::ActiveStateReads(const std::string& unit) {
    sd_bus_message* reply = nullptr;
    std::uint32_t reads = 0;
    if (Call(&reply, "Reads", "s", unit.c_str()) && sd_bus_message_read(reply, "u", &reads) < 0)
        ADD_FAILURE() << "bad answer to Reads";
    sd_bus_message_unref(reply);
    return reads;
}

} // namespace testsupport
