#pragma once
// Who may do what with the agent's settings. The install gives the
// administrators' group (OPAL_ADMIN_GROUP) the right to write the agent's
// documents and registry values; everybody else reads the status only. The
// answers come from this user's effective rights on the files themselves,
// not from group names, so that root, a member and an installation laid
// out differently are all judged by what the kernel would allow.

#include <cstdint>

struct AgentSettingsAccess {
    // The local configuration can be read (or does not exist yet).
    bool readable = false;
    // It can be saved: the file is readable and writable (or missing) and
    // its directory takes the new file a save writes beside it.
    bool changeable = false;
    // Changes go through the system helper (helper/HelperClient.h), not
    // into the files.
    bool throughHelper = false;
};

AgentSettingsAccess CheckAgentSettingsAccess();

// The one rule for the settings sheet and the command line: may this user
// change the agent's settings?
inline bool MayChangeAgentSettings() {
    return CheckAgentSettingsAccess().changeable;
}

// Whether this user may write the value `name` of the agent's registry key
// (creating nothing, writing nothing).
bool MayWriteAgentValue(const char16_t* name);
