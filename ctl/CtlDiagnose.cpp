// The support bundle: everything a support case asks for first, gathered in
// one .tar.gz, with the secrets taken out before anything is packed.

#include <algorithm>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <zlib.h>

#include <QtGlobal>

#include "BuildInfo.h"
#include "comm/LibraryVersions.h"
#include "common/ASTCommonFunc.h"
#include "common/TextEscape.h"
#include "config/AgentConfig.h"
#include "ctl/CtlCommon.h"
#include "ctl/SupportBundle.h"
#include "platform/system/AtomicFile.h"
#include "platform/system/RegistryStore.h"
#include "shell/LanguageSetting.h"
#include "xml/XmlLibraryVersion.h"

namespace {

// The end of the tool's log that goes into the bundle.
constexpr std::size_t LOG_TAIL_BYTES = 256 * 1024;
constexpr char JOURNAL_LINES[] = "200";
constexpr int JOURNAL_TIMEOUT_MS = 15000;

std::string LogTail(const std::string& path, std::string& note) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        note = "The tool's log " + path + " cannot be read: " + std::strerror(errno) + ".";
        return {};
    }
    const std::streamoff size = in.tellg();
    const std::streamoff start = size > static_cast<std::streamoff>(LOG_TAIL_BYTES)
                                     ? size - static_cast<std::streamoff>(LOG_TAIL_BYTES)
                                     : 0;
    in.seekg(start);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A cut line could be the end of one that names a secret: it goes.
    if (start > 0) {
        const std::size_t first = text.find('\n');
        text = first == std::string::npos ? std::string() : text.substr(first + 1);
        note = "The last " + std::to_string(text.size()) + " bytes of " + path + ".";
    } else {
        note = "The whole of " + path + ".";
    }
    return text;
}

std::string Versions() {
    std::string text = std::string(CTL_PROGRAM) + " " OPAL_VERSION " (" OPAL_PRODUCT_NAME ")\n";
    text += "libcurl: " + CurlVersionText() + "\n";
    text += "OpenSSL: " + OpenSslVersionText() + "\n";
    text += std::string("XML: ") + XmlLibraryVersion() + "\n";
    text += std::string("Qt: ") + qVersion() + " (built with " QT_VERSION_STR ")\n";
    text += std::string("zlib: ") + zlibVersion() + "\n";
    utsname system{};
    if (::uname(&system) == 0)
        text += std::string("System: ") + system.sysname + " " + system.release + " " +
                system.version + " " + system.machine + "\n";
    return text;
}

std::string Languages(const std::string& home) {
    const std::string directory = home + "Language/";
    std::vector<std::string> lines;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() <= 3 || name.compare(name.size() - 3, 3, ".so") != 0)
                continue;
            struct stat info {};
            const std::string path = directory + name;
            lines.push_back(name + "  " +
                            (::stat(path.c_str(), &info) == 0
                                 ? std::to_string(info.st_size) + " bytes"
                                 : std::string("unreadable")));
        }
        ::closedir(dir);
    }
    std::sort(lines.begin(), lines.end());
    std::string text = "Language libraries in " + directory + ":\n";
    if (lines.empty())
        text += "none found\n";
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

std::string RegistryValues() {
    RegistryKeyHandle key;
    const std::string where = RegistryRoot() + " (" + Utf8(AgentRegistryKey) + ")";
    if (RegOpenKey(HKEY_LOCAL_MACHINE, AgentRegistryKey, KEY_READ, key) != ERROR_SUCCESS)
        return "The agent's registry key cannot be opened in " + where + ".\n";
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(key.directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            // The store's temporary files start with a dot.
            if (!name.empty() && name.front() != '.')
                names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::string text = "Values of the agent's key in " + where + ":\n";
    for (const std::string& name : names) {
        std::u16string value;
        const long result = RegQueryString(key, FromUtf8(name), value, 65536);
        text += name + " = " +
                (result == ERROR_SUCCESS ? Utf8(value)
                                         : "(unreadable, error " + std::to_string(result) + ")") +
                "\n";
    }
    return text;
}

std::string ServiceAndJournal(const ServiceStatus& service, std::string& journal) {
    std::string text = "Service: " + ServiceStatusText(service) + "\n";
    if (service.unit.empty()) {
        journal = "No unit is known, so no journal lines.\n";
        return text;
    }
    std::string output;
    int status = 0;
    if (!RunProgram({"journalctl", "-u", service.unit, "-n", JOURNAL_LINES, "--no-pager", "-o",
                     "short-iso"},
                    JOURNAL_TIMEOUT_MS, output, status)) {
        journal = "journalctl could not be run on this machine.\n";
    } else if (status != 0) {
        journal = "journalctl ended with status " + std::to_string(status) +
                  "; the journal is not readable for this user:\n" + output;
    } else {
        journal = output;
    }
    return text;
}

} // namespace

int RunDiagnose(CtlContext& context, const std::vector<std::string>& arguments) {
    CtlAnswer answer(context, "diagnose");
    std::string output;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(CtlHelp("diagnose").c_str(), stdout);
            return EXIT_OK;
        }
        if (argument == "--output" && i + 1 < arguments.size())
            output = arguments[++i];
        else if (argument.rfind("--output=", 0) == 0)
            output = argument.substr(9);
        else
            return answer.Fail(EXIT_USAGE_ERROR, "usage", "unexpected argument '" + argument + "'");
    }
    if (output.empty())
        return answer.Fail(EXIT_USAGE_ERROR, "usage", "diagnose needs --output FILE.tar.gz");
    const std::string path = UserPath(context, output);

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string top = std::string("opal-agent-diagnosis-") + stamp + "/";
    TarGzWriter tar(now);
    tar.AddDirectory(top);
    JsonValue files = JsonValue::Array();
    std::vector<std::string> notes;
    const auto add = [&](const std::string& name, const std::string& bytes) {
        tar.AddFile(top + name, bytes);
        files.Push(name);
    };

    std::string home;
    GetModuleDirectory(home);
    // The passwords in clear, to be searched for everywhere.
    LoadLocalConfig();
    const std::vector<std::string> secrets = {
        g_networkConfig.HTTPAuthPassword, g_networkConfig.Http.ProxyPassword,
        g_networkConfig.Sock5.ProxyPassword, g_networkConfig.ClientCertPswd};

    add("versions.txt", Versions());
    add("status.json", StatusJson(context, nullptr).Dump());
    std::u16string serviceName;
    GetAgentServiceName(serviceName);
    std::string journal;
    add("service.txt", ServiceAndJournal(QueryServiceStatus(serviceName), journal));
    // The journal, the log and the diagnosis may quote what a server sent.
    add("journal.txt", EscapeControlChars(ScrubLines(journal, secrets)));
    add("registry.txt", ScrubLines(RegistryValues(), secrets));
    add("languages.txt", Languages(home));

    // The documents, and the copies of any that could not be read.
    std::vector<std::string> documents;
    for (const AgentDocument document : {AgentDocument::LocalConfig, AgentDocument::WorkingConfig,
                                         AgentDocument::SysConfig, AgentDocument::Status})
        documents.push_back(Utf8(AgentDocumentPath(document)));
    documents.push_back(home + Utf8(TOOL_CONFIG_FILE));
    for (const std::string& document : std::vector<std::string>(documents))
        documents.push_back(document + ".unreadable");
    for (const std::string& document : documents) {
        std::string bytes;
        const std::string name = document.substr(document.rfind('/') + 1);
        if (ReadWholeFile(document, bytes))
            add("documents/" + name, RedactDocument(bytes, secrets));
        else if (name.find(".unreadable") == std::string::npos)
            notes.push_back(name + " cannot be read: " + std::strerror(errno) + ".");
    }

    // The connection test with the saved values, as Test Connection would
    // run it right after the dialog opened.
    JsonValue outcomeJson;
    std::string diagnosis;
    LoadedSettingsPages loaded = LoadSettingsPages();
    SettingsPages pages{loaded.General, loaded.Advanced};
    const SettingsCheck check = ApplyAndValidate(pages, {}, context.texts);
    if (!loaded.LocalConfigLoaded) {
        diagnosis = "No connection test: the local configuration cannot be read.\n";
    } else if (!check.Passed()) {
        diagnosis = "No connection test: the saved settings do not pass the dialog's checks:\n" +
                    (check.Failure ? Utf8(check.Failure->text) : check.UsageError) + "\n";
    } else {
        JsonValue steps;
        std::string report;
        const ConnectionTestOutcome outcome =
            RunCtlConnectionTest(BuildConnectionTestSettings(pages.General, pages.Advanced), true,
                                 context.texts.Strings(), &steps, &report);
        outcomeJson = OutcomeJson(context, outcome);
        diagnosis = OutcomeText(context, outcome) + "\n\n" + report;
    }
    add("diagnosis.txt", EscapeControlChars(WithoutKnownSecrets(diagnosis, secrets)));

    // Last, so that the log's end holds this run's own lines too.
    std::string logNote;
    const std::string log = LogTail(context.logFile, logNote);
    add("log/OPALAgentSetting.log", EscapeControlChars(ScrubLines(log, secrets)));
    notes.push_back(logNote);

    std::string readme = "Support bundle of " OPAL_PRODUCT_NAME " (" + std::string(CTL_PROGRAM) +
                         " " OPAL_VERSION "), made " + stamp + " in " + home + ".\n\n" +
                         "Every password, key and certificate password of the documents has been "
                         "replaced by " +
                         REDACTED_VALUE +
                         " (the encrypted values stored in them included: "
                         "anybody with the program could decrypt them), and every line of the log "
                         "and the journal that could carry a secret by \"" +
                         REDACTED_LINE + "\".\n\n";
    for (const std::string& note : notes)
        readme += note + "\n";
    add("README.txt", readme);

    std::string why;
    if (!tar.Write(path, &why))
        return answer.Fail(EXIT_FAILED, "failed", "cannot write the bundle: " + why);
    answer.Json().Set("output", path);
    answer.Json().Set("files", std::move(files));
    answer.Json().Set("connectionTest", std::move(outcomeJson));
    answer.Say("Wrote " + path);
    return answer.Finish(EXIT_OK);
}
