#include "tests/helper/HelperSystem.h"

#include "tests/support/TestSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <systemd/sd-bus.h>

namespace helpertest {

using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

namespace {

constexpr const char* kPolkitd = "/usr/lib/polkit-1/polkitd";

// Debian's system bus policy, cut to what the test's parties need, and the
// package's own policy for the helper's name.
std::string BusPolicy() {
    return "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <deny own=\"*\"/>\n"
           "    <deny send_type=\"method_call\"/>\n"
           "    <allow send_type=\"signal\"/>\n"
           "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
           "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
           "    <allow receive_type=\"method_call\"/>\n"
           "    <allow receive_type=\"method_return\"/>\n"
           "    <allow receive_type=\"error\"/>\n"
           "    <allow receive_type=\"signal\"/>\n"
           "    <allow send_destination=\"org.freedesktop.DBus\"\n"
           "           send_interface=\"org.freedesktop.DBus\"/>\n"
           "    <allow send_destination=\"org.freedesktop.DBus\"\n"
           "           send_interface=\"org.freedesktop.DBus.Introspectable\"/>\n"
           "    <allow send_destination=\"org.freedesktop.PolicyKit1\"/>\n"
           "    <allow send_destination=\"org.freedesktop.systemd1\"/>\n"
           "  </policy>\n"
           "  <policy user=\"root\">\n"
           "    <allow own=\"org.freedesktop.systemd1\"/>\n"
           "    <allow send_type=\"method_call\"/>\n"
           "  </policy>\n"
           "  <policy user=\"polkitd\">\n"
           "    <allow own=\"org.freedesktop.PolicyKit1\"/>\n"
           "  </policy>\n"
           "  <include>" OPAL_SOURCE_DIR "/packaging/dbus/org.opal.AgentSetting1.conf</include>\n";
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

pid_t Spawn(const std::vector<std::string>& args, const fs::path& log) {
    testsupport::ChildOutput output;
    output.log = log.string();
    output.append = true;
    output.deathSignal = SIGKILL;
    return testsupport::SpawnChild(args, output);
}

void Terminate(pid_t& pid) {
    testsupport::StopChild(pid);
}

bool Exited(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == pid;
}

// Waits until `name` has an owner on the test's bus, or `pid` ended.
bool WaitForName(const char* name, pid_t& pid, std::string& why) {
    sd_bus* bus = nullptr;
    if (const int r = sd_bus_open_system(&bus); r < 0) {
        why = std::string("cannot reach the test's bus: ") + std::strerror(-r);
        return false;
    }
    bool owned = false;
    for (int i = 0; i < 200 && !owned; ++i) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int has = 0;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                               name) >= 0 &&
            sd_bus_message_read(reply, "b", &has) >= 0)
            owned = has != 0;
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        if (!owned) {
            if (Exited(pid)) {
                why = "it ended";
                pid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    sd_bus_flush_close_unref(bus);
    if (!owned && why.empty())
        why = "it took too long";
    return owned;
}

} // namespace

HelperSystem::~HelperSystem() {
    Stop();
}

std::string HelperSystem::Start(const fs::path& home, const fs::path& registryRoot, gid_t group,
                                unsigned idleSeconds) {
    if (::geteuid() != 0)
        return "needs root: polkitd runs in a mount namespace of the test's own";
    if (::access(kPolkitd, X_OK) != 0)
        return "polkitd is not installed (Debian's polkitd package)";
    m_group = group;
    const fs::path root = m_dir.Path();
    fs::permissions(root, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec |
                              fs::perms::group_read | fs::perms::group_exec);
    for (const char* sub : {"actions", "rules", "etc-rules"}) {
        fs::create_directories(root / sub);
        fs::permissions(root / sub, fs::perms::owner_all | fs::perms::others_read |
                                        fs::perms::others_exec | fs::perms::group_read |
                                        fs::perms::group_exec);
    }
    fs::copy_file(OPAL_SOURCE_DIR "/packaging/polkit/org.opal.agent.policy",
                  root / "actions/org.opal.agent.policy");
    // The package's own rule, for this test's group.
    std::string rule = ReadFileBytes(OPAL_SOURCE_DIR "/packaging/polkit.rules.in");
    rule = Replace(rule, "@OPAL_ADMIN_GROUP@", GroupName(group));
    rule = Replace(rule, "@OPAL_AGENT_UNIT@", "opal-agent-demo.service");
    WriteFileBytes(root / "rules/50-opal-agent-setting.rules", rule);
    SetNobodyMember(false);
    for (const char* file :
         {"actions/org.opal.agent.policy", "rules/50-opal-agent-setting.rules", "group"})
        fs::permissions(root / file, fs::perms::owner_read | fs::perms::owner_write |
                                         fs::perms::group_read | fs::perms::others_read);

    if (std::string failed = m_bus.StartSystemBus(BusPolicy()); !failed.empty())
        return failed;

    std::string mounts = "mount --bind " + (root / "actions").string() +
                         " /usr/share/polkit-1/actions && mount --bind " +
                         (root / "rules").string() + " /usr/share/polkit-1/rules.d";
    if (fs::is_directory("/etc/polkit-1/rules.d"))
        mounts += " && mount --bind " + (root / "etc-rules").string() + " /etc/polkit-1/rules.d";
    mounts += " && mount --bind " + (root / "group").string() + " /etc/group";
    m_polkitd = Spawn({"unshare", "-m", "--propagation", "private", "--", "sh", "-c",
                       mounts + " && exec " + kPolkitd + " --no-debug"},
                      root / "polkitd.log");
    std::string why;
    if (!WaitForName("org.freedesktop.PolicyKit1", m_polkitd, why))
        return "polkitd did not start in a mount namespace of its own (" + why +
               "): " + ReadFileBytes(root / "polkitd.log");

    m_helper = Spawn({OPAL_HELPER_PROGRAM, "--program-dir=" + home.string(),
                      "--registry-root=" + registryRoot.string(),
                      "--idle-timeout=" + std::to_string(idleSeconds)},
                     root / "helper.log");
    if (!WaitForName("org.opal.AgentSetting1", m_helper, why))
        return "the helper did not start (" + why + "): " + HelperOutput();
    return {};
}

void HelperSystem::SetNobodyMember(bool member) {
    std::string group = ReadFileBytes("/etc/group");
    if (!group.empty() && group.back() != '\n')
        group.push_back('\n');
    group += GroupName(m_group) + ":x:" + std::to_string(m_group) + ":" + (member ? "nobody" : "") +
             "\n";
    // In place: the namespace's /etc/group is bound to this very file.
    const fs::path path = m_dir.Path() / "group";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, group.data(), group.size()) != static_cast<ssize_t>(group.size()))
        ADD_FAILURE() << "cannot write the test's group file";
    if (fd >= 0)
        ::close(fd);
}

std::string HelperSystem::HelperOutput() const {
    return ReadFileBytes(m_dir.Path() / "helper.log");
}

bool HelperSystem::HelperRunning() {
    if (m_helper <= 0)
        return false;
    int status = 0;
    if (::waitpid(m_helper, &status, WNOHANG) != m_helper)
        return true;
    m_helperStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    m_helper = -1;
    return false;
}

void HelperSystem::StopHelper() {
    Terminate(m_helper);
}

void HelperSystem::Stop() {
    Terminate(m_helper);
    Terminate(m_polkitd);
    m_bus.Stop();
}

} // namespace helpertest
