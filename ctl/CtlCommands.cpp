// The commands of the command line: status, config show / set / apply,
// test-connection and service.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>

#include "BuildInfo.h"
#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentAccess.h"
#include "config/AgentConfig.h"
#include "ctl/CtlCommon.h"
#include "helper/HelperClient.h"
#include "platform/system/RegistryStore.h"
#include "shell/AgentServiceControl.h"
#include "shell/AgentStatusText.h"

namespace {

constexpr unsigned IDS_STARTING_SERVICE = 7028;
constexpr unsigned IDS_STOPPING_SERVICE = 7029;
constexpr unsigned IDS_READ_NEEDS_ADMIN_GROUP = 7131;

// The values of the frame's status record before anything is read.
constexpr AgentStatusRecord INITIAL_STATUS{0, 4, 0, 0, 0};

int UsageFail(CtlAnswer& answer, const std::string& message, const std::string& topic) {
    const int code = answer.Fail(EXIT_USAGE_ERROR, "usage", message);
    std::fprintf(stderr, "Try '%s %s--help'.\n", CTL_PROGRAM,
                 topic.empty() ? "" : (topic + " ").c_str());
    return code;
}

bool WantsHelp(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h")
            return true;
    }
    return false;
}

int Help(const std::string& topic) {
    std::fputs(CtlHelp(topic).c_str(), stdout);
    return EXIT_OK;
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

JsonValue NamesJson(const std::vector<std::string>& names) {
    JsonValue json = JsonValue::Array();
    for (const std::string& name : names)
        json.Push(name);
    return json;
}

std::vector<std::string> NamesOf(const SettingList& values) {
    std::vector<std::string> names;
    for (const SettingValue& entry : values)
        names.push_back(entry.Name);
    return names;
}

// A number field's text as a JSON number when it is one, else as it stands.
JsonValue NumberOrText(const std::u16string& text) {
    if (!text.empty() && text.size() <= 9 &&
        text.find_first_not_of(u"0123456789") == std::u16string::npos)
        return JsonValue(static_cast<long long>(WideToLong(text)));
    return JsonValue(text);
}

bool IsNumberSetting(const std::string& name) {
    return name == "port" || name == "proxy-port" || name == "retry" || name == "timeout";
}

std::string ProxyText(const NetworkConfigRecord& record, JsonValue& json) {
    const NetworkPageState page = LoadNetworkPage(record);
    if (page.ProxyEnabled == 0) {
        json = JsonValue();
        return "none";
    }
    const char* type = page.ProxyType == PROXY_KIND_SOCKS5   ? "socks5"
                       : page.ProxyType == PROXY_KIND_SOCKS4 ? "socks4"
                                                             : "http";
    json = JsonValue::Object();
    json.Set("type", type);
    json.Set("address", page.ProxyName);
    json.Set("port", page.ProxyPort);
    json.Set("user", page.ProxyUser.empty() ? JsonValue() : JsonValue(page.ProxyUser));
    std::string text =
        std::string(type) + " " + Utf8(page.ProxyName) + ":" + std::to_string(page.ProxyPort);
    if (!page.ProxyUser.empty())
        text += " (user " + Utf8(page.ProxyUser) + ")";
    return text;
}

// Reports a local configuration that did not load. False when the command
// must stop (the answer is then finished and `exitCode` set).
bool AcceptLoad(CtlAnswer& answer, const CtlContext& context, const LoadedSettingsPages& pages,
                bool forSaving, bool force, int& exitCode) {
    if (!pages.WorkingConfigLoaded)
        answer.Warn(Utf8(context.texts.String(IDS_WORKING_CONFIG_LOAD_FAILED)));
    if (pages.LocalConfigLoaded)
        return true;
    if (!CheckAgentSettingsAccess().readable) {
        exitCode = answer.Fail(
            EXIT_FAILED, "permission",
            LocalConfigPath() + ": " +
                Utf8(ReplaceFirstPlaceholder(context.texts.String(IDS_READ_NEEDS_ADMIN_GROUP),
                                             FromUtf8(OPAL_ADMIN_GROUP))));
        return false;
    }
    const std::string message = Utf8(context.texts.String(IDS_NETWORK_CONFIG_LOAD_FAILED));
    if (forSaving && !force) {
        exitCode = answer.Fail(EXIT_FAILED, "load",
                               message + "\nNothing was saved: every setting not given would take "
                                         "its default. Add --force to save anyway.");
        return false;
    }
    answer.Warn(message);
    return true;
}

int ValidationFail(CtlAnswer& answer, const SettingsCheck& check, const std::string& topic) {
    if (!check.UsageError.empty())
        return UsageFail(answer, check.UsageError, topic);
    JsonValue details = JsonValue::Object();
    details.Set("messageId", check.Failure->messageId);
    details.Set("setting", check.FailedSetting);
    details.Set("page", check.FailedPage);
    return answer.Fail(EXIT_FAILED, "validation", Utf8(check.Failure->text), std::move(details));
}

// The save of a user who is neither root nor the owner of the agent's home:
// the system helper checks the settings again and saves them as OK does.
int SaveThroughHelper(CtlAnswer& answer, const SettingsPages& pages) {
    HelperSettings settings;
    for (const SettingValue& entry : SettingsOf(pages.General, pages.Advanced))
        settings.emplace_back(entry.Name, Utf8(entry.Value));
    const HelperReply reply = HelperSaveSettings(settings, true);
    answer.Json().Set("saved", reply.Done());
    switch (reply.outcome) {
    case HelperOutcome::Done:
        break;
    case HelperOutcome::NotAuthorized:
        return answer.Fail(EXIT_FAILED, "permission", reply.message);
    case HelperOutcome::InvalidSettings:
        return answer.Fail(EXIT_FAILED, "validation", reply.message);
    case HelperOutcome::Unavailable:
        return answer.Fail(EXIT_FAILED, "permission",
                           AdministratorsMessage("cannot save " + LocalConfigPath()) +
                               " (the system helper is not available: " + reply.message + ")");
    case HelperOutcome::Failed:
        return answer.Fail(EXIT_FAILED, "save", reply.message);
    }
    JsonValue notified = JsonValue::Object();
    notified.Set("netConfigChanged", reply.first);
    notified.Set("toolTag", reply.second);
    answer.Json().Set("notified", std::move(notified));
    if (!reply.first)
        answer.Warn("the agent's status document could not be marked (NetConfigChanged 1)");
    if (!reply.second)
        answer.Warn("the agent's registry value ToolTag could not be set to 2");
    answer.Say("Saved " + LocalConfigPath() +
               " through the system helper; the agent has been "
               "told.");
    return answer.Finish(EXIT_OK);
}

// OK's save and the agent's notification, told to the user.
int SaveAndReport(CtlAnswer& answer, const CtlContext& context, const SettingsPages& pages,
                  int32_t maxRetryTimes) {
    if (!WritesAgentFilesDirectly())
        return SaveThroughHelper(answer, pages);
    // The sheet's rule: a user who may not change the settings is not let
    // try (and leave the agent's files half-touched).
    if (!MayChangeAgentSettings()) {
        answer.Json().Set("saved", false);
        return answer.Fail(EXIT_FAILED, "permission",
                           AdministratorsMessage("cannot save " + LocalConfigPath()));
    }
    const SettingsSaveResult result =
        SaveSettingsPages(pages.General, pages.Advanced, maxRetryTimes);
    answer.Json().Set("saved", result.Saved());
    if (!result.Saved())
        return answer.Fail(EXIT_FAILED, "save",
                           Utf8(context.texts.String(IDS_NETWORK_CONFIG_SAVE_FAILED)));
    JsonValue notified = JsonValue::Object();
    notified.Set("netConfigChanged", result.NetConfigChange == CONFIG_SUCCESS);
    notified.Set("toolTag", result.ToolTag == CONFIG_SUCCESS);
    answer.Json().Set("notified", std::move(notified));
    if (result.NetConfigChange != CONFIG_SUCCESS)
        answer.Warn("the agent's status document could not be marked (NetConfigChanged 1)");
    if (result.ToolTag != CONFIG_SUCCESS)
        answer.Warn("the agent's registry value ToolTag could not be set to 2");
    answer.Say("Saved " + LocalConfigPath() + "; the agent has been told.");
    return answer.Finish(EXIT_OK);
}

// The settings named in an apply file: strings, or whole numbers for any
// setting (written as their digits).
std::optional<std::string> ReadApplyFile(const std::string& bytes, SettingList& values) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())), &error);
    if (error.error != QJsonParseError::NoError)
        return "not valid JSON: " + error.errorString().toStdString() + " at offset " +
               std::to_string(error.offset);
    if (!document.isObject())
        return "the JSON must be one object of settings";
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const std::string name = it.key().toStdString();
        if (!IsSettingName(name))
            return "unknown setting '" + name + "'";
        const QJsonValue value = it.value();
        if (value.isString()) {
            values.push_back({name, value.toString().toStdU16String()});
        } else if (value.isDouble() && value.toDouble() >= 0 && value.toDouble() <= 2147483647.0 &&
                   value.toDouble() == static_cast<double>(value.toInteger())) {
            const std::string digits = std::to_string(value.toInteger());
            values.push_back({name, std::u16string(digits.begin(), digits.end())});
        } else {
            return "'" + name + "': expected a string or a whole number";
        }
    }
    return std::nullopt;
}

// Writes every log line of a run that changes something under the program's
// own name, so the shared log tells its lines from the tray's.
void LogCommand(const char* command, const std::vector<std::string>& names) {
    LOG_PRINTF(LK_WARNING, "opal-agent-ctl: %s %s. [%s|%d]", command, JoinNames(names));
}

class CtlServiceUi : public ServiceCommandUi {
public:
    CtlServiceUi(const CtlContext& context, bool progress)
        : m_context(context), m_progress(progress) {}

    std::u16string LoadText(unsigned id) override { return m_context.texts.String(id); }
    void ShowMessage(const std::u16string& text, const std::u16string& /*caption*/,
                     ServiceMessageIcon icon) override {
        message = Utf8(text);
        failed = icon == ServiceMessageIcon::Error;
    }
    void WaitProgress(unsigned long state, std::uint64_t waitedMs) override {
        if (!m_progress)
            return;
        const unsigned id = state == SERVICE_STOP_PENDING || state == SERVICE_RUNNING
                                ? IDS_STOPPING_SERVICE
                                : IDS_STARTING_SERVICE;
        std::fprintf(stderr, "\r%s %llus ", Utf8(m_context.texts.String(id)).c_str(),
                     static_cast<unsigned long long>(waitedMs / 1000));
        std::fflush(stderr);
        m_shown = true;
    }
    void EndWait() override {
        if (m_shown)
            std::fputc('\n', stderr);
        m_shown = false;
    }

    std::string message;
    bool failed = false;

private:
    const CtlContext& m_context;
    bool m_progress;
    bool m_shown = false;
};

} // namespace

// ---- status ------------------------------------------------------------------------

namespace {

// Why a file that should be there could not be read.
std::string FileProblem(const std::string& path, const char* unparsable) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? "missing"
               : errno == EACCES                   ? "permission-denied"
                                                   : std::string(unparsable);
    return ::access(path.c_str(), R_OK) == 0 ? std::string(unparsable) : "permission-denied";
}

std::string ProblemText(const std::string& reason) {
    if (reason == "missing")
        return "is missing";
    if (reason == "permission-denied")
        return "cannot be read by this user (permission denied)";
    return "cannot be read";
}

// What a machine without the agent, or a user who may not read its state,
// lacks: each item names the source, its path and why. The ToolTag value is
// the tool's side of the handshake, not the agent's state, and a service
// manager that cannot be asked says nothing either way; neither counts.
JsonValue MissingAgentParts(const AgentStatusSnapshot& snapshot, const ServiceStatus& service,
                            std::vector<std::string>& texts) {
    JsonValue missing = JsonValue::Array();
    const auto add = [&](const char* what, const std::string& path, const std::string& reason,
                         const std::string& text) {
        JsonValue item = JsonValue::Object();
        item.Set("what", what);
        item.Set("path", path.empty() ? JsonValue() : JsonValue(path));
        item.Set("reason", reason);
        item.Set("message", text);
        missing.Push(std::move(item));
        texts.push_back(text);
    };
    if (!snapshot.DocumentRead) {
        const std::string path = Utf8(AgentDocumentPath(AgentDocument::Status));
        const std::string reason = FileProblem(path, "unreadable");
        add("status-document", path, reason,
            "the agent's status document " + path + " " +
                (reason == "unreadable" ? std::string("is not a readable status document")
                                        : ProblemText(reason)));
    }
    if (!snapshot.AgentStatusRead) {
        RegistryKeyHandle key;
        const long opened = RegOpenKey(HKEY_LOCAL_MACHINE, AgentRegistryKey, KEY_READ, key);
        std::string path = RegistryRoot() + " (" + Utf8(AgentRegistryKey) + ")";
        std::string reason = opened == ERROR_ACCESS_DENIED ? "permission-denied" : "missing";
        if (opened == ERROR_SUCCESS) {
            path = key.directory + "/AgentStatus";
            reason = FileProblem(path, "unreadable");
        }
        add("registry-value", path, reason,
            "the agent's registry value AgentStatus (" + path + ") " + ProblemText(reason));
    }
    if (service.state == "not-installed") {
        add("service", service.unit, "not-installed",
            "the agent's service " + service.unit + " is not installed");
    } else if (service.name.empty()) {
        const std::string path = Utf8(AgentDocumentPath(AgentDocument::SysConfig));
        const std::string reason = FileProblem(path, "no-service-name");
        add("system-configuration", path, reason,
            "the agent's system configuration " + path + " " +
                (reason == "no-service-name" ? std::string("names no AgentServiceName")
                                             : ProblemText(reason)));
    }
    return missing;
}

} // namespace

JsonValue StatusJson(const CtlContext& context, std::vector<std::string>* lines,
                     std::vector<std::string>* missingTexts) {
    const auto line = [lines](const std::string& label, const std::string& value) {
        if (lines) {
            std::string padded = label + ":";
            padded.resize(std::max<std::size_t>(padded.size() + 1, 20), ' ');
            lines->push_back(padded + value);
        }
    };
    JsonValue json = JsonValue::Object();
    std::string home;
    GetModuleDirectory(home);
    json.Set("programDirectory", home);
    line("Program directory", home);

    AgentStatusSnapshot snapshot;
    snapshot.Record = INITIAL_STATUS;
    PeekAgentStatus(snapshot);
    const AgentStatusRecord& r = snapshot.Record;
    // The tip stands for what the agent published; without both halves it
    // would describe a status nobody wrote.
    const bool statusRead = snapshot.DocumentRead && snapshot.AgentStatusRead;
    const std::u16string tip =
        statusRead ? context.texts.String(TrayLookFor(r.RegisterStatus, r.AgentStatus).tipId)
                         .substr(0, TRAY_TIP_CHARS)
                   : std::u16string();
    const auto value = [](bool read, int32_t number) {
        return read ? JsonValue(number) : JsonValue();
    };
    const auto text = [](bool read, int32_t number) {
        return read ? std::to_string(number) : std::string("unknown (not readable)");
    };
    JsonValue agent = JsonValue::Object();
    agent.Set("registerStatus", value(snapshot.DocumentRead, r.RegisterStatus));
    agent.Set("agentStatus", value(snapshot.AgentStatusRead, r.AgentStatus));
    agent.Set("agentStatusText", statusRead ? JsonValue(tip) : JsonValue());
    agent.Set("toolTag", value(snapshot.ToolTagRead, r.ToolTag));
    agent.Set("netConfigChanged", value(snapshot.DocumentRead, r.NetConfigChanged));
    json.Set("agent", std::move(agent));
    line("Agent status", text(snapshot.AgentStatusRead, r.AgentStatus) +
                             (statusRead ? " - " + Utf8(tip) : std::string()));
    line("RegisterStatus", text(snapshot.DocumentRead, r.RegisterStatus));
    line("ToolTag", text(snapshot.ToolTagRead, r.ToolTag));
    line("NetConfigChanged", text(snapshot.DocumentRead, r.NetConfigChanged));

    std::u16string serviceName;
    GetAgentServiceName(serviceName);
    const ServiceStatus service = QueryServiceStatus(serviceName);
    json.Set("service", ServiceStatusJson(service));
    line("Service", ServiceStatusText(service));

    const bool loaded = LoadLocalConfig() == CONFIG_SUCCESS;
    const NetworkConfigRecord& config = g_networkConfig;
    JsonValue server = JsonValue::Object();
    server.Set("configurationRead", loaded);
    std::string url;
    if (loaded) {
        url = std::string(config.IsUseHTTPS != 0 ? "https" : "http") + "://" +
              Utf8(config.ServerName) + ":" + std::to_string(config.ServerPort) +
              Utf8(config.ServiceURI);
        server.Set("url", url);
    } else {
        server.Set("url", JsonValue());
    }
    json.Set("server", std::move(server));
    line("Server", loaded ? url : "unknown (the local configuration cannot be read)");
    JsonValue proxy;
    const std::string proxyText = loaded ? ProxyText(config, proxy) : "unknown";
    json.Set("proxy", std::move(proxy));
    line("Proxy", proxyText);

    std::vector<std::string> missing;
    json.Set("missing", MissingAgentParts(snapshot, service, missing));
    if (missingTexts)
        *missingTexts = std::move(missing);
    return json;
}

int RunStatus(CtlContext& context, const std::vector<std::string>& arguments) {
    if (WantsHelp(arguments))
        return Help("status");
    CtlAnswer answer(context, "status");
    if (!arguments.empty())
        return UsageFail(answer, "status takes no arguments", "status");
    std::vector<std::string> lines;
    std::vector<std::string> missing;
    JsonValue body = StatusJson(context, &lines, &missing);
    answer.Json().Set("status", std::move(body));
    for (const std::string& line : lines)
        answer.Say(line);
    if (missing.empty())
        return answer.Finish(EXIT_OK);
    std::string message = "the agent is not installed here, or its state cannot be read: ";
    for (std::size_t i = 0; i < missing.size(); ++i)
        message += (i == 0 ? "" : "; ") + missing[i];
    return answer.Fail(EXIT_FAILED, "missing", message);
}

// ---- config show ------------------------------------------------------------------------

int RunConfigShow(CtlContext& context, const std::vector<std::string>& arguments) {
    if (WantsHelp(arguments))
        return Help("config show");
    CtlAnswer answer(context, "config show");
    if (!arguments.empty())
        return UsageFail(answer, "config show takes no arguments", "config show");
    const LoadedSettingsPages pages = LoadSettingsPages();
    int exitCode = EXIT_OK;
    if (!AcceptLoad(answer, context, pages, false, false, exitCode))
        return exitCode;

    JsonValue settings = JsonValue::Object();
    JsonValue secrets = JsonValue::Object();
    answer.Say("Settings (config set NAME=VALUE):");
    for (const SettingValue& entry : SettingsOf(pages.General, pages.Advanced)) {
        std::string shown;
        if (IsSecretSetting(entry.Name)) {
            secrets.Set(entry.Name, !entry.Value.empty());
            shown = entry.Value.empty() ? "(not set)" : "(set)";
        } else {
            settings.Set(entry.Name, IsNumberSetting(entry.Name) ? NumberOrText(entry.Value)
                                                                 : JsonValue(entry.Value));
            shown = Utf8(entry.Value);
        }
        std::string name = "  " + entry.Name;
        name.resize(24, ' ');
        answer.Say(name + shown);
    }
    answer.Json().Set("settings", std::move(settings));
    answer.Json().Set("secrets", std::move(secrets));

    const AdvancedPageState& a = pages.Advanced;
    const std::u16string upgrade = context.texts.String(
        a.AutoUpdate != 0 ? IDS_AUTO_UPGRADE_ENABLED : IDS_AUTO_UPGRADE_DISABLED);
    const std::pair<const char*, JsonValue> readOnly[] = {
        {"servlet-path", JsonValue(a.ServletPath)},
        {"log-upload-max-interval", JsonValue(a.LogUploadMaxInterval)},
        {"log-upload-max-size-kb", JsonValue(a.LogUploadMaxSizeKB)},
        {"command-interval", JsonValue(a.CommandInterval)},
        {"auto-upgrade", JsonValue(a.AutoUpdate != 0)},
        {"update-check-interval", JsonValue(a.UpdateCheckInterval)},
    };
    JsonValue readOnlyJson = JsonValue::Object();
    answer.Say("Read-only values:");
    for (const auto& [name, json] : readOnly) {
        readOnlyJson.Set(name, json);
        std::string label = std::string("  ") + name;
        label.resize(26, ' ');
        std::string shown;
        if (json.GetKind() == JsonValue::Kind::Bool)
            shown = Utf8(upgrade);
        else if (std::strcmp(name, "servlet-path") == 0)
            shown = Utf8(a.ServletPath);
        else
            shown = json.Dump().substr(0, json.Dump().size() - 1);
        answer.Say(label + shown);
    }
    answer.Json().Set("readOnly", std::move(readOnlyJson));
    JsonValue loaded = JsonValue::Object();
    loaded.Set("localConfiguration", pages.LocalConfigLoaded);
    loaded.Set("workingConfiguration", pages.WorkingConfigLoaded);
    answer.Json().Set("loaded", std::move(loaded));
    return answer.Finish(pages.LocalConfigLoaded ? EXIT_OK : EXIT_FAILED);
}

// ---- config set / apply ----------------------------------------------------------------

namespace {

struct EditRun {
    LoadedSettingsPages loaded;
    SettingsPages pages;
    NetworkConfigRecord before;
    NetworkConfigRecord after;
    std::vector<std::string> changed;
};

// Loads as the sheet does and applies `values`; the answer is finished and
// `exitCode` set when it must stop.
bool Edit(CtlAnswer& answer, CtlContext& context, const SettingList& values, bool forSaving,
          bool force, const std::string& topic, EditRun& run, int& exitCode) {
    run.loaded = LoadSettingsPages();
    if (!AcceptLoad(answer, context, run.loaded, forSaving, force, exitCode))
        return false;
    run.pages = {run.loaded.General, run.loaded.Advanced};
    run.before =
        BuildNetworkConfigRecord(run.loaded.General, run.loaded.Advanced, run.loaded.MaxRetryTimes);
    const SettingsCheck check = ApplyAndValidate(run.pages, values, context.texts);
    if (!check.Passed()) {
        exitCode = ValidationFail(answer, check, topic);
        return false;
    }
    run.after =
        BuildNetworkConfigRecord(run.pages.General, run.pages.Advanced, run.loaded.MaxRetryTimes);
    run.changed = ChangedSettings(SettingsOf(run.before, g_workingConfig),
                                  SettingsOf(run.after, g_workingConfig));
    answer.Json().Set("changes", NamesJson(run.changed));
    return true;
}

// Splits a command's arguments into assignments, password options and the
// flags it accepts; a usage error is returned as text.
std::optional<std::string> ParseAssignments(const std::vector<std::string>& arguments,
                                            const std::vector<std::string>& flags,
                                            AssignmentArguments& out,
                                            std::vector<std::string>& flagsSeen) {
    for (const std::string& argument : arguments) {
        if (std::find(flags.begin(), flags.end(), argument) != flags.end()) {
            flagsSeen.push_back(argument);
            continue;
        }
        std::string error;
        if (!TakeAssignmentArgument(argument, out, error))
            return "unexpected argument '" + argument + "'";
        if (!error.empty())
            return error;
    }
    return std::nullopt;
}

bool Has(const std::vector<std::string>& flags, const char* flag) {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

} // namespace

int RunConfigSet(CtlContext& context, const std::vector<std::string>& arguments) {
    const std::string topic = "config set";
    if (WantsHelp(arguments))
        return Help(topic);
    CtlAnswer answer(context, topic);
    AssignmentArguments assignments;
    std::vector<std::string> flags;
    if (auto error = ParseAssignments(arguments, {"--force"}, assignments, flags))
        return UsageFail(answer, *error, topic);
    if (auto error = ReadSecrets(context, assignments))
        return UsageFail(answer, *error, topic);
    if (assignments.values.empty())
        return UsageFail(answer, "config set needs at least one NAME=VALUE", topic);

    EditRun run;
    int exitCode = EXIT_OK;
    if (!Edit(answer, context, assignments.values, true, Has(flags, "--force"), topic, run,
              exitCode))
        return exitCode;
    LogCommand("config set", NamesOf(assignments.values));
    return SaveAndReport(answer, context, run.pages, run.loaded.MaxRetryTimes);
}

namespace {

// A changed setting as the diff shows it: passwords only as whether one is
// stored and whether it changes, never their text or stored form.
std::pair<JsonValue, JsonValue> DiffValues(const std::string& name, const std::u16string& before,
                                           const std::u16string& after) {
    if (IsSecretSetting(name))
        return {JsonValue(before.empty() ? "not set" : "set"),
                JsonValue(after.empty()    ? "not set"
                          : before.empty() ? "set"
                                           : "changed")};
    if (IsNumberSetting(name))
        return {NumberOrText(before), NumberOrText(after)};
    return {JsonValue(before), JsonValue(after)};
}

std::string DiffText(const JsonValue& value, bool secret) {
    const std::string dumped = value.Dump();
    // Dump() ends every value with a line end.
    const std::string text = dumped.substr(0, dumped.size() - 1);
    return secret ? text.substr(1, text.size() - 2) : text;
}

JsonValue ApplyDiff(const EditRun& run, std::vector<std::string>& lines) {
    const SettingList before = SettingsOf(run.before, g_workingConfig);
    const SettingList after = SettingsOf(run.after, g_workingConfig);
    JsonValue diff = JsonValue::Object();
    for (const std::string& name : run.changed) {
        auto [from, to] = DiffValues(name, FindSetting(before, name).value_or(u""),
                                     FindSetting(after, name).value_or(u""));
        const bool secret = IsSecretSetting(name);
        lines.push_back("  " + name + ": " + DiffText(from, secret) + " -> " +
                        DiffText(to, secret));
        JsonValue entry = JsonValue::Object();
        entry.Set("before", std::move(from));
        entry.Set("after", std::move(to));
        diff.Set(name, std::move(entry));
    }
    return diff;
}

} // namespace

int RunConfigApply(CtlContext& context, const std::vector<std::string>& arguments) {
    const std::string topic = "config apply";
    if (WantsHelp(arguments))
        return Help(topic);
    CtlAnswer answer(context, topic);
    std::string file;
    bool check = false;
    bool force = false;
    bool diff = false;
    AssignmentArguments secrets;
    for (const std::string& argument : arguments) {
        if (argument == "--check") {
            check = true;
        } else if (argument == "--force") {
            force = true;
        } else if (argument == "--diff") {
            diff = true;
        } else if (argument.rfind("--password-", 0) == 0) {
            std::string error;
            if (!TakeAssignmentArgument(argument, secrets, error))
                return UsageFail(answer, "unexpected argument '" + argument + "'", topic);
            if (!error.empty())
                return UsageFail(answer, error, topic);
        } else if (file.empty() && (argument == "-" || argument.front() != '-')) {
            file = argument;
        } else {
            return UsageFail(answer, "unexpected argument '" + argument + "'", topic);
        }
    }
    if (file.empty())
        return UsageFail(answer, "config apply needs a FILE.json (or - for standard input)", topic);
    if (file == "-" && !secrets.stdinSecrets.empty())
        return UsageFail(answer,
                         "--password-stdin and the settings from standard input (-) cannot share "
                         "it: give the settings as a file, or the passwords with --password-file",
                         topic);
    std::string bytes;
    if (file == "-") {
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        const std::string path = UserPath(context, file);
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return UsageFail(answer, "cannot read " + path + ": " + std::strerror(errno), topic);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    SettingList values;
    if (auto error = ReadApplyFile(bytes, values))
        return UsageFail(answer, file + ": " + *error, topic);
    if (auto error = ReadSecrets(context, secrets))
        return UsageFail(answer, *error, topic);
    for (SettingValue& secret : secrets.values) {
        if (FindSetting(values, secret.Name))
            return UsageFail(answer,
                             "'" + secret.Name + "' is given both in " + file + " and as an option",
                             topic);
        values.push_back(std::move(secret));
    }

    EditRun run;
    int exitCode = EXIT_OK;
    if (!Edit(answer, context, values, !check, force, topic, run, exitCode))
        return exitCode;
    // A forced apply over a file that did not load always writes it.
    const bool changed = run.before != run.after || !run.loaded.LocalConfigLoaded;
    answer.Json().Set("changed", changed);
    answer.Json().Set("check", check);
    std::vector<std::string> diffLines;
    if (diff)
        answer.Json().Set("diff", ApplyDiff(run, diffLines));
    const auto sayDiff = [&answer, &diffLines] {
        for (const std::string& line : diffLines)
            answer.Say(line);
    };
    if (check || !changed) {
        answer.Json().Set("saved", false);
        if (!changed)
            answer.Say("Nothing to change: the configuration already holds these settings.");
        else
            answer.Say("Would change: " + (run.changed.empty() ? std::string("the stored form")
                                                               : JoinNames(run.changed)));
        sayDiff();
        return answer.Finish(EXIT_OK);
    }
    answer.Say("Changing: " + JoinNames(run.changed));
    sayDiff();
    LogCommand("config apply", run.changed);
    return SaveAndReport(answer, context, run.pages, run.loaded.MaxRetryTimes);
}

// ---- test-connection ------------------------------------------------------------------------

namespace {

// The flag a running test watches; raised by SIGINT/SIGTERM or the
// --timeout watch. A lock-free atomic store is safe in a signal handler.
std::atomic<bool>* g_testCancel = nullptr;
volatile std::sig_atomic_t g_testSignal = 0;

extern "C" void OnTestSignal(int signal) {
    g_testSignal = signal;
    if (g_testCancel != nullptr)
        g_testCancel->store(true);
}

// SIGINT and SIGTERM end the test cleanly while it runs, and only then.
class TestInterruption {
public:
    explicit TestInterruption(std::atomic<bool>& cancel) {
        static_assert(std::atomic<bool>::is_always_lock_free);
        g_testSignal = 0;
        g_testCancel = &cancel;
        struct sigaction action {};
        action.sa_handler = &OnTestSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &m_oldInt);
        sigaction(SIGTERM, &action, &m_oldTerm);
    }
    ~TestInterruption() {
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
        g_testCancel = nullptr;
    }
    TestInterruption(const TestInterruption&) = delete;
    TestInterruption& operator=(const TestInterruption&) = delete;

private:
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
};

// Raises the flag when the command line's own time is up.
class TestDeadline {
public:
    TestDeadline(std::atomic<bool>& cancel, int seconds) {
        if (seconds <= 0)
            return;
        m_thread = std::thread([this, &cancel, seconds] {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_done.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_over; })) {
                cancel.store(true);
            }
        });
    }
    ~TestDeadline() { Stop(); }
    TestDeadline(const TestDeadline&) = delete;
    TestDeadline& operator=(const TestDeadline&) = delete;
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_over = true;
        }
        m_done.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_over = false;
    std::thread m_thread;
};

constexpr int kLongestCtlTimeout = 86400;

// Takes "--timeout SECONDS" / "--timeout=SECONDS" out of `arguments`.
std::optional<std::string> TakeTimeout(std::vector<std::string>& arguments, int& seconds) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string value;
        std::size_t taken = 1;
        if (arguments[i] == "--timeout") {
            if (i + 1 >= arguments.size())
                return std::string("--timeout needs a number of seconds");
            value = arguments[i + 1];
            taken = 2;
        } else if (arguments[i].rfind("--timeout=", 0) == 0) {
            value = arguments[i].substr(10);
        } else {
            continue;
        }
        char* end = nullptr;
        errno = 0;
        const long number = value.empty() ? 0 : std::strtol(value.c_str(), &end, 10);
        if (value.empty() || errno != 0 || *end != '\0' || number < 1 ||
            number > kLongestCtlTimeout)
            return "--timeout takes a whole number of seconds from 1 to " +
                   std::to_string(kLongestCtlTimeout) + ", not '" + value + "'";
        seconds = static_cast<int>(number);
        arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i),
                        arguments.begin() + static_cast<std::ptrdiff_t>(i + taken));
        --i;
    }
    return std::nullopt;
}

} // namespace

int RunTestConnection(CtlContext& context, const std::vector<std::string>& givenArguments) {
    const std::string topic = "test-connection";
    if (WantsHelp(givenArguments))
        return Help(topic);
    CtlAnswer answer(context, topic);
    std::vector<std::string> arguments = givenArguments;
    int timeoutSeconds = 0;
    if (auto error = TakeTimeout(arguments, timeoutSeconds))
        return UsageFail(answer, *error, topic);
    AssignmentArguments assignments;
    std::vector<std::string> flags;
    if (auto error = ParseAssignments(arguments, {"--diagnose"}, assignments, flags))
        return UsageFail(answer, *error, topic);
    if (auto error = ReadSecrets(context, assignments))
        return UsageFail(answer, *error, topic);
    const bool diagnose = Has(flags, "--diagnose");

    EditRun run;
    int exitCode = EXIT_OK;
    if (!Edit(answer, context, assignments.values, false, false, topic, run, exitCode))
        return exitCode;
    answer.Json().Set("overrides", NamesJson(NamesOf(assignments.values)));
    LogCommand("test-connection", NamesOf(assignments.values));

    const ConnectionTestSettings settings =
        BuildConnectionTestSettings(run.pages.General, run.pages.Advanced);
    JsonValue diagnosis;
    std::string report;
    std::atomic<bool> cancel{false};
    ConnectionTestOutcome outcome;
    int signal = 0;
    {
        TestInterruption interruption(cancel);
        TestDeadline deadline(cancel, timeoutSeconds);
        outcome = RunCtlConnectionTest(settings, diagnose, context.texts.Strings(), &diagnosis,
                                       &report, &cancel);
        deadline.Stop();
        signal = static_cast<int>(g_testSignal);
    }
    if (outcome.Cancelled) {
        // Nothing to report about the server: say why the test ended.
        if (signal != 0)
            return answer.Fail(EXIT_INTERRUPTED_BASE + signal, "interrupted",
                               std::string("connection test interrupted by ") +
                                   (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                                   "; nothing was changed");
        return answer.Fail(EXIT_FAILED, "timeout",
                           "no result from the connection test within " +
                               std::to_string(timeoutSeconds) +
                               " seconds (--timeout); the proxy or the server does not answer");
    }
    answer.Json().Set("outcome", OutcomeJson(context, outcome));
    if (diagnose) {
        answer.Json().Set("diagnosis", std::move(diagnosis));
        if (!context.json)
            std::fputs((report + (report.empty() || report.back() == '\n' ? "" : "\n")).c_str(),
                       stdout);
    }
    answer.Say(OutcomeText(context, outcome));
    return answer.Finish(outcome.Success ? EXIT_OK : EXIT_FAILED);
}

// ---- service -----------------------------------------------------------------------------------

int RunService(CtlContext& context, const std::string& operation,
               const std::vector<std::string>& arguments) {
    const std::string topic = "service";
    if (WantsHelp(arguments) || operation == "--help" || operation == "-h")
        return Help(topic);
    CtlAnswer answer(context, "service " + operation);
    if (!arguments.empty())
        return UsageFail(answer, "unexpected argument '" + arguments.front() + "'", topic);

    std::u16string serviceName;
    GetAgentServiceName(serviceName);
    if (operation == "status") {
        const ServiceStatus status = QueryServiceStatus(serviceName);
        answer.Json().Set("service", ServiceStatusJson(status));
        answer.Say(ServiceStatusText(status));
        return answer.Finish(status.state == "unknown" ? EXIT_FAILED : EXIT_OK);
    }
    ServiceCommand command = ServiceCommand::Start;
    if (operation == "start")
        command = ServiceCommand::Start;
    else if (operation == "stop")
        command = ServiceCommand::Stop;
    else if (operation == "restart")
        command = ServiceCommand::Restart;
    else
        return UsageFail(answer,
                         operation.empty()
                             ? std::string("service needs start, stop, restart or status")
                             : "unknown service operation '" + operation + "'",
                         topic);
    if (serviceName.empty())
        return answer.Fail(EXIT_FAILED, "failed",
                           "the agent's system configuration names no AgentServiceName");

    LogCommand(("service " + operation).c_str(), {});
    CtlServiceUi ui(context, !context.json && ::isatty(STDERR_FILENO) == 1);
    const bool succeeded = RunServiceCommand(command, serviceName, ui);
    answer.Json().Set("succeeded", succeeded);
    answer.Json().Set("message", ui.message);
    answer.Json().Set("service", ServiceStatusJson(QueryServiceStatus(serviceName)));
    if (!succeeded)
        return answer.Fail(EXIT_FAILED, "failed", ui.message);
    answer.Say(ui.message);
    return answer.Finish(EXIT_OK);
}
