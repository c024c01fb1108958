#pragma once
// The system helper as it runs on a machine, privately for one test: a
// system bus of its own (dbus-daemon with a system configuration that
// includes the package's bus policy), the fake systemd on it, the real
// polkitd in a mount namespace of its own that sees the package's actions
// and rule (for a temporary administrators' group) in place of the
// machine's, and opal-agent-helper serving an agent home of the test's.

#include <string>
#include <sys/types.h>

#include "tests/platform/system/FakeSystemBus.h"
#include "tests/support/TestSupport.h"

namespace helpertest {

namespace fs = std::filesystem;

class HelperSystem {
public:
    HelperSystem() = default;
    ~HelperSystem();
    HelperSystem(const HelperSystem&) = delete;
    HelperSystem& operator=(const HelperSystem&) = delete;

    // Empty when everything runs; otherwise why not, for the skip message.
    std::string Start(const fs::path& home, const fs::path& registryRoot, gid_t group);
    void Stop();
    // Stops only the helper (a machine without it installed).
    void StopHelper();

    // Whether `nobody` belongs to the group in the user database polkit
    // reads (the test's copy of /etc/group, rewritten in place).
    void SetNobodyMember(bool member);
    static std::string GroupName(gid_t group) { return "opaltest" + std::to_string(group); }

    testsupport::FakeSystemBus& Bus() { return m_bus; }
    // What the helper wrote to its standard error.
    std::string HelperOutput() const;

private:
    testsupport::TempDir m_dir;
    testsupport::FakeSystemBus m_bus;
    gid_t m_group = 0;
    pid_t m_polkitd = -1;
    pid_t m_helper = -1;
};

} // namespace helpertest
