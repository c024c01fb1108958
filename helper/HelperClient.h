#pragma once
// The tool's side of the system helper (HelperProtocol.h): one blocking call
// per request over the system bus, and the rule of who goes through it.
// No Qt: the shell's core, the settings sheet and opal-agent-ctl use it.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "config/AgentAccess.h"

enum class HelperOutcome {
    Done,
    NotAuthorized,   // polkit refused (or the user cancelled its prompt)
    InvalidSettings, // the dialog's check refused; the message is its text
    Failed,          // the helper answered with another error
    Unavailable,     // no helper on the bus (not installed, no system bus)
};

struct HelperReply {
    HelperOutcome outcome = HelperOutcome::Unavailable;
    std::string message; // the error's text, for the user
    // SaveSettings: NetConfigChanged and ToolTag written; ClearToolTag /
    // MarkAgentUnreachable: whether the value was written.
    bool first = false;
    bool second = false;

    bool Done() const { return outcome == HelperOutcome::Done; }
};

using HelperSettings = std::vector<std::pair<std::string, std::string>>; // name, UTF-8 value

// `interactive`: the user asked for this change now, so polkit may ask for
// a password; never for the status monitor's writes.
HelperReply HelperSaveSettings(const HelperSettings& settings, bool interactive);
HelperReply HelperSetLanguage(int32_t number, bool interactive);
HelperReply HelperClearToolTag();
HelperReply HelperMarkAgentUnreachable();

enum class HelperAccess { Yes, Authenticate, No, Unavailable };
HelperAccess HelperConfigureAccess();

// Root, and a user who owns the agent's home (the demo, the tests), write
// the agent's files themselves; everybody else asks the helper.
bool WritesAgentFilesDirectly();

// What the settings sheet and the command line may do with the settings:
// for a direct writer the file rights; for everybody else reading by the
// file rights and changing by the helper's answer.
AgentSettingsAccess CheckSettingsAccess();
