#include "ctl/CtlCommon.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "BuildInfo.h"
#include "config/AgentConfig.h"
#include "platform/system/ServiceManager.h"
#include "platform/system/Utf.h"

extern char** environ;

// ---- answers -------------------------------------------------------------------

CtlAnswer::CtlAnswer(CtlContext& context, std::string command)
    : m_context(context), m_json(JsonValue::Object()) {
    m_json.Set("schema", CTL_JSON_SCHEMA);
    m_json.Set("command", std::move(command));
    m_json.Set("ok", true);
    m_json.Set("exitCode", EXIT_OK);
}

int CtlAnswer::Finish(int exitCode) {
    m_json.Set("ok", exitCode == EXIT_OK);
    m_json.Set("exitCode", exitCode);
    if (m_hasWarnings)
        m_json.Set("warnings", m_warnings);
    if (m_context.json) {
        const std::string text = m_json.Dump();
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    std::fflush(stdout);
    return exitCode;
}

int CtlAnswer::Fail(int exitCode, const std::string& kind, const std::string& message,
                    JsonValue details) {
    std::fprintf(stderr, "%s: %s\n", CTL_PROGRAM, message.c_str());
    if (details.GetKind() != JsonValue::Kind::Object)
        details = JsonValue::Object();
    JsonValue error = JsonValue::Object();
    error.Set("kind", kind);
    error.Set("message", message);
    error.Set("details", std::move(details));
    m_json.Set("error", std::move(error));
    return Finish(exitCode);
}

void CtlAnswer::Say(const std::string& line) const {
    if (!m_context.json)
        std::printf("%s\n", line.c_str());
}

void CtlAnswer::Warn(const std::string& line) {
    std::fprintf(stderr, "%s: warning: %s\n", CTL_PROGRAM, line.c_str());
    m_warnings.Push(line);
    m_hasWarnings = true;
}

// ---- text ------------------------------------------------------------------------

std::string Utf8(const std::u16string& text) {
    std::string out;
    return Utf16ToUtf8(text, out) ? out : std::string();
}

std::u16string FromUtf8(const std::string& text) {
    std::u16string out;
    return Utf8ToUtf16(text, out) ? out : std::u16string();
}

std::string UserPath(const CtlContext& context, const std::string& path) {
    if (path.empty() || path.front() == '/' || context.userDirectory.empty())
        return path;
    return context.userDirectory + "/" + path;
}

// ---- assignments and passwords ---------------------------------------------------

namespace {

constexpr char PASSWORD_STDIN[] = "--password-stdin";
constexpr char PASSWORD_FILE[] = "--password-file";

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> SplitNames(const std::string& text) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        const std::size_t end = comma == std::string::npos ? text.size() : comma;
        names.push_back(text.substr(start, end - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return names;
}

// One line end less: a password file written by `echo` or an editor ends
// with one that is not part of the password.
std::string WithoutLineEnd(std::string text) {
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    return text;
}

// One line of standard input; typed at a terminal, with a prompt and
// without echo, as passwd(1) asks.
bool ReadLine(const std::string& name, bool typed, std::string& line) {
    termios saved{};
    const bool quiet = typed && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (typed) {
        std::fprintf(stderr, "%s: ", name.c_str());
        std::fflush(stderr);
    }
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    if (quiet) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    return read;
}

} // namespace

std::string RefusedSecretMessage(const std::string& name) {
    return "'" + name +
           "' is not taken from the command line, where every user of this machine can read it "
           "in the process list; give it with --password-stdin=" +
           name + " or --password-file=" + name + "=FILE";
}

bool TakeAssignmentArgument(const std::string& argument, AssignmentArguments& out,
                            std::string& error) {
    if (argument == PASSWORD_STDIN || StartsWith(argument, std::string(PASSWORD_STDIN) + "=")) {
        const std::string names = argument == PASSWORD_STDIN
                                      ? std::string("password")
                                      : argument.substr(std::strlen(PASSWORD_STDIN) + 1);
        for (const std::string& name : SplitNames(names)) {
            if (!IsSecretSetting(name)) {
                error = std::string(PASSWORD_STDIN) + ": '" + name +
                        "' is not a password (password, proxy-password or client-cert-password)";
                return true;
            }
            out.stdinSecrets.push_back(name);
        }
        return true;
    }
    if (StartsWith(argument, std::string(PASSWORD_FILE) + "=")) {
        const std::string value = argument.substr(std::strlen(PASSWORD_FILE) + 1);
        const std::size_t equals = value.find('=');
        if (equals != std::string::npos && IsSecretSetting(value.substr(0, equals)))
            out.fileSecrets.emplace_back(value.substr(0, equals), value.substr(equals + 1));
        else
            out.fileSecrets.emplace_back("password", value);
        if (out.fileSecrets.back().second.empty())
            error = std::string(PASSWORD_FILE) + ": no file given";
        return true;
    }
    if (argument == PASSWORD_FILE) {
        error = std::string(PASSWORD_FILE) + " takes its file as " + PASSWORD_FILE + "=[NAME=]FILE";
        return true;
    }
    if (argument.empty() || argument.front() == '-')
        return false;
    const std::size_t equals = argument.find('=');
    if (equals == std::string::npos || equals == 0)
        return false;
    const std::string name = argument.substr(0, equals);
    if (!IsSettingName(name)) {
        error = "unknown setting '" + name + "' (see --help for the names)";
        return true;
    }
    const std::string value = argument.substr(equals + 1);
    // An empty value reveals nothing: it is how a password is cleared.
    if (IsSecretSetting(name) && !value.empty()) {
        out.refusedSecrets.push_back(name);
        return true;
    }
    std::u16string wide;
    if (!Utf8ToUtf16(value, wide)) {
        error = "'" + name + "': the value is not valid UTF-8";
        return true;
    }
    out.values.push_back({name, wide});
    return true;
}

std::optional<std::string> ReadSecrets(const CtlContext& context, AssignmentArguments& out) {
    if (!out.refusedSecrets.empty())
        return RefusedSecretMessage(out.refusedSecrets.front());
    const auto add = [&out](const std::string& name,
                            const std::string& value) -> std::optional<std::string> {
        if (FindSetting(out.values, name))
            return "'" + name + "' is given more than once";
        std::u16string wide;
        if (!Utf8ToUtf16(value, wide))
            return "'" + name + "': the password is not valid UTF-8";
        out.values.push_back({name, wide});
        return std::nullopt;
    };
    const bool typed = !out.stdinSecrets.empty() && ::isatty(STDIN_FILENO) == 1;
    for (const std::string& name : out.stdinSecrets) {
        std::string line;
        if (!ReadLine(name, typed, line))
            return "standard input ended before the " + name + " (one line for each name of " +
                   PASSWORD_STDIN + ")";
        if (auto error = add(name, WithoutLineEnd(line + "\n")))
            return error;
    }
    for (const auto& [name, file] : out.fileSecrets) {
        const std::string path = UserPath(context, file);
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return std::string(PASSWORD_FILE) + ": cannot read " + path + ": " +
                   std::strerror(errno);
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        if (auto error = add(name, WithoutLineEnd(text)))
            return error;
    }
    return std::nullopt;
}

// ---- permissions -------------------------------------------------------------------

std::string AdministratorsMessage(const std::string& what) {
    return what + ": permission denied. Only members of the group '" OPAL_ADMIN_GROUP
                  "' may change the agent's settings; ask an administrator to add you to it, "
                  "then log in again.";
}

std::string LocalConfigPath() {
    return Utf8(AgentDocumentPath(AgentDocument::LocalConfig));
}

// ---- the service ---------------------------------------------------------------------

ServiceStatus QueryServiceStatus(const std::u16string& serviceName) {
    ServiceStatus status;
    status.name = serviceName;
    if (serviceName.empty()) {
        status.state = "unknown";
        status.reason = "the agent's system configuration names no AgentServiceName";
        return status;
    }
    status.unit = ServiceUnitName(Utf8(serviceName));
    ServiceManager manager;
    ServiceError error;
    unsigned long state = 0;
    std::string loadState;
    if (!manager.Open(serviceName, error) || !manager.QueryUnit(state, loadState, error)) {
        status.state = "unknown";
        status.reason = Utf8(error.text);
        return status;
    }
    if (loadState == "not-found") {
        status.state = "not-installed";
        return status;
    }
    switch (state) {
    case SERVICE_RUNNING:
        status.state = "running";
        break;
    case SERVICE_START_PENDING:
        status.state = "starting";
        break;
    case SERVICE_STOP_PENDING:
        status.state = "stopping";
        break;
    default:
        status.state = "stopped";
        break;
    }
    return status;
}

JsonValue ServiceStatusJson(const ServiceStatus& status) {
    JsonValue json = JsonValue::Object();
    json.Set("name", status.name);
    json.Set("unit", status.unit);
    json.Set("state", status.state);
    json.Set("reason", status.reason.empty() ? JsonValue() : JsonValue(status.reason));
    return json;
}

std::string ServiceStatusText(const ServiceStatus& status) {
    std::string text = status.state;
    if (status.state == "not-installed")
        text = "not installed";
    if (!status.reason.empty())
        text += " (" + status.reason + ")";
    if (!status.name.empty())
        text += ", service " + Utf8(status.name) +
                (status.unit.empty() ? "" : " (" + status.unit + ")");
    return text;
}

// ---- the connection test's outcome ---------------------------------------------------

JsonValue OutcomeJson(const CtlContext& context, const ConnectionTestOutcome& outcome) {
    JsonValue json = JsonValue::Object();
    json.Set("success", outcome.Success);
    json.Set("captionId", outcome.CaptionId);
    json.Set("caption", context.texts.String(outcome.CaptionId));
    json.Set("messageId", outcome.TextId);
    json.Set("message", context.texts.String(outcome.TextId));
    json.Set("initializeResult", outcome.InitializeResult);
    json.Set("transferResult", outcome.TransferResult);
    // Null where nothing of the kind arrived: no status line, or an answer
    // that was not the servlet's.
    json.Set("httpCode", outcome.HttpCodeReceived ? JsonValue(outcome.HttpCode) : JsonValue());
    json.Set("serverCode",
             outcome.ServerCodeReceived ? JsonValue(outcome.ServerCode) : JsonValue());
    return json;
}

std::string OutcomeText(const CtlContext& context, const ConnectionTestOutcome& outcome) {
    std::string details = "(set-up result " + std::to_string(outcome.InitializeResult) +
                          ", transfer result " + std::to_string(outcome.TransferResult);
    details += outcome.HttpCodeReceived ? ", HTTP status " + std::to_string(outcome.HttpCode)
                                        : std::string(", no HTTP status");
    if (outcome.ServerCodeReceived) {
        char code[32];
        std::snprintf(code, sizeof code, ", server code 0x%X", outcome.ServerCode);
        details += code;
    } else if (outcome.HttpCodeReceived) {
        details += ", no answer from the servlet";
    }
    return Utf8(context.texts.String(outcome.CaptionId)) + ": " +
           Utf8(context.texts.String(outcome.TextId)) + "\n" + details + ")";
}

// ---- running a program -------------------------------------------------------------------

bool RunProgram(const std::vector<std::string>& argv, int timeoutMs, std::string& output,
                int& exitStatus) {
    int pipeFds[2];
    if (argv.empty() || ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t child = -1;
    const int spawned = ::posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool timedOut = false;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd fd{pipeFds[0], POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    if (timedOut)
        ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    exitStatus = !timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}
