#pragma once
// The system helper's D-Bus interface, shared by the helper and its client.
//
// Bus name, object and interface: org.opal.AgentSetting1 on the system bus,
// started on demand by D-Bus activation and running as root. Every method
// is checked with polkit against the caller's bus name before anything is
// read or written; a method that allows interactive authorization (the
// caller's message flag) lets polkit ask the user for a password.
//
//   SaveSettings(a(ss) settings) -> (b netConfigChanged, b toolTag)
//       The settings sheet's OK. `settings` are NAME/VALUE pairs with the
//       command line's names (opal-agent-ctl config set), values in UTF-8;
//       names not given keep the saved value. Checked with the dialog's own
//       rules and messages, saved as OK saves (NetConfigChanged 1, ToolTag
//       2). The answer says whether the agent's two marks were written.
//       Action org.opal.agent.configure.
//   SetLanguage(i number) -> ()
//       The language choice, written into SettingToolSysConfig.xml.
//       Action org.opal.agent.configure.
//   ClearToolTag() -> (b cleared)
//       ToolTag 0 after a save; only a ToolTag of 2 is cleared.
//       Action org.opal.agent.report-status.
//   MarkAgentUnreachable() -> (b marked)
//       AgentStatus 16, only while the agent's unit is not running (the
//       helper asks systemd) and the status says 1.
//       Action org.opal.agent.report-status.
//   ConfigureAccess() -> (s answer)
//       Whether the caller may configure: "yes", "auth" (polkit would ask
//       for a password) or "no". Asks polkit only, never interactively.
//
// Errors (the message is the text the tool shows):
//   org.opal.AgentSetting1.Error.NotAuthorized    polkit refused
//   org.opal.AgentSetting1.Error.InvalidSettings  a check of the dialog refused
//   org.opal.AgentSetting1.Error.InvalidArguments names or values that make no sense
//   org.opal.AgentSetting1.Error.Failed           the save itself failed

inline constexpr char HELPER_BUS_NAME[] = "org.opal.AgentSetting1";
inline constexpr char HELPER_OBJECT_PATH[] = "/org/opal/AgentSetting1";
inline constexpr char HELPER_INTERFACE[] = "org.opal.AgentSetting1";

inline constexpr char HELPER_ERROR_NOT_AUTHORIZED[] = "org.opal.AgentSetting1.Error.NotAuthorized";
inline constexpr char HELPER_ERROR_INVALID_SETTINGS[] =
    "org.opal.AgentSetting1.Error.InvalidSettings";
inline constexpr char HELPER_ERROR_INVALID_ARGUMENTS[] =
    "org.opal.AgentSetting1.Error.InvalidArguments";
inline constexpr char HELPER_ERROR_FAILED[] = "org.opal.AgentSetting1.Error.Failed";

inline constexpr char POLKIT_ACTION_CONFIGURE[] = "org.opal.agent.configure";
inline constexpr char POLKIT_ACTION_REPORT_STATUS[] = "org.opal.agent.report-status";

// The values the client may send at most: more than every setting twice is
// no request of the tool's, and a value longer than any field takes.
inline constexpr unsigned HELPER_MAX_SETTINGS = 64;
inline constexpr unsigned HELPER_MAX_VALUE_BYTES = 4096;
