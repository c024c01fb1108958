#pragma once
// What the command line's commands share: the run's context, the one JSON
// answer each command gives, the way a failure is told, passwords taken from
// standard input or a file, and small helpers.

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "comm/ConfigureAgent4VSM.h"
#include "ctl/CtlJson.h"
#include "ctl/CtlSettings.h"
#include "ctl/CtlTexts.h"

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE_ERROR = 2;
// A command ended by a signal exits with 128 + its number, as a shell
// reports it (130 for SIGINT, 143 for SIGTERM).
inline constexpr int EXIT_INTERRUPTED_BASE = 128;

inline constexpr char CTL_PROGRAM[] = "opal-agent-ctl";
// The "schema" member of every JSON answer; it changes only with an
// incompatible change of the answers.
inline constexpr char CTL_JSON_SCHEMA[] = "opal-agent-ctl/1";

struct CtlContext {
    bool json = false;
    CtlTexts texts;
    // The directory the user ran the program from: file names on the command
    // line are taken from there, although the program works in its own.
    std::string userDirectory;
    std::string logFile;
};

// The answer of one command: built up by the command, printed once.
class CtlAnswer {
public:
    CtlAnswer(CtlContext& context, std::string command);
    JsonValue& Json() { return m_json; }
    // Prints the JSON answer (with --json) and gives the exit status.
    int Finish(int exitCode);
    // A failure: the text goes to standard error, and into the answer's
    // "error" member with its kind ("usage", "validation", "permission",
    // "load", "save", "failed"). Returns Finish(exitCode).
    int Fail(int exitCode, const std::string& kind, const std::string& message,
             JsonValue details = JsonValue::Object());
    // A line for the user on standard output; nothing with --json.
    void Say(const std::string& line) const;
    // A warning on standard error; also listed in the answer's "warnings".
    void Warn(const std::string& line);

private:
    CtlContext& m_context;
    JsonValue m_json;
    JsonValue m_warnings = JsonValue::Array();
    bool m_hasWarnings = false;
};

std::string Utf8(const std::u16string& text);
std::u16string FromUtf8(const std::string& text);

// `path` as given on the command line, made absolute against the user's
// directory.
std::string UserPath(const CtlContext& context, const std::string& path);

// NAME=VALUE assignments and the password options of `config set` and
// `test-connection`.
struct AssignmentArguments {
    SettingList values;
    // "password=value" on the command line, refused.
    std::vector<std::string> refusedSecrets;
    // --password-stdin=NAME,... in order, --password-file=NAME=FILE.
    std::vector<std::string> stdinSecrets;
    std::vector<std::pair<std::string, std::string>> fileSecrets;
};

// Takes one argument if it is an assignment or a password option; false
// when it is neither. `error` is set for one that is malformed.
bool TakeAssignmentArgument(const std::string& argument, AssignmentArguments& out,
                            std::string& error);
// Reads the passwords named by the options into `out.values`. A usage error
// (a password on the command line, a name given twice, a file that cannot be
// read) is returned as text.
std::optional<std::string> ReadSecrets(const CtlContext& context, AssignmentArguments& out);
// What a password on the command line is refused with.
std::string RefusedSecretMessage(const std::string& name);

// The text that names the administrators' group.
std::string AdministratorsMessage(const std::string& what);

// The agent's local configuration file.
std::string LocalConfigPath();

// The agent's service as the status shows it.
struct ServiceStatus {
    std::u16string name;
    std::string unit;
    // running, stopped, starting, stopping, not-installed, unknown
    std::string state;
    std::string reason; // why the state is unknown
};
ServiceStatus QueryServiceStatus(const std::u16string& serviceName);
JsonValue ServiceStatusJson(const ServiceStatus& status);
std::string ServiceStatusText(const ServiceStatus& status);

// The connection test's outcome in an answer, and as the user reads it.
JsonValue OutcomeJson(const CtlContext& context, const ConnectionTestOutcome& outcome);
std::string OutcomeText(const CtlContext& context, const ConnectionTestOutcome& outcome);

// The connection test; with `diagnose` it is observed step by step, its account written into
// `diagnosis` (JSON: stable English keys beside the texts) and `report` (text, any line that
// could carry a secret removed), its titles and hints from `strings`.
// `cancel`, when given, ends a running test early (the outcome is then
// Cancelled).
ConnectionTestOutcome RunCtlConnectionTest(const ConnectionTestSettings& settings, bool diagnose,
                                           const StringLoader& strings, JsonValue* diagnosis,
                                           std::string* report,
                                           const std::atomic<bool>* cancel = nullptr);

// The status command's answer body (also written into the support bundle).
// `missingTexts` receives one sentence for each part of the agent that is
// missing or cannot be read (the body's "missing" member).
JsonValue StatusJson(const CtlContext& context, std::vector<std::string>* textLines,
                     std::vector<std::string>* missingTexts = nullptr);

// Runs a program with a time limit; its standard output and error are
// returned together. False when it could not be started; `exitStatus` is
// -1 when it was ended by a signal or the limit.
bool RunProgram(const std::vector<std::string>& argv, int timeoutMs, std::string& output,
                int& exitStatus);

// The help texts.
std::string CtlHelp(const std::string& topic);

// The commands; `arguments` follow the command's own words.
int RunStatus(CtlContext& context, const std::vector<std::string>& arguments);
int RunConfigShow(CtlContext& context, const std::vector<std::string>& arguments);
int RunConfigSet(CtlContext& context, const std::vector<std::string>& arguments);
int RunConfigApply(CtlContext& context, const std::vector<std::string>& arguments);
int RunTestConnection(CtlContext& context, const std::vector<std::string>& arguments);
int RunService(CtlContext& context, const std::string& operation,
               const std::vector<std::string>& arguments);
int RunDiagnose(CtlContext& context, const std::vector<std::string>& arguments);
