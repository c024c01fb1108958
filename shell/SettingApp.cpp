#include "shell/SettingApp.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QMetaObject>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "config/DebugConfig.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/ResourceLookup.h"
#include "shell/LanguageSetting.h"
#include "shell/PluginLoader.h"

namespace {

constexpr unsigned IDS_LANGUAGE_NUMBER = 7056;
constexpr unsigned IDS_LANGUAGE_NAME = 7057;
constexpr unsigned IDS_RESOURCE_VERSION = 7121;
constexpr unsigned IDS_ALREADY_RUNNING = 7033;
constexpr unsigned IDS_CAPTION = 7022;
constexpr std::size_t STRING_BUFFER_CHARS = 254;

} // namespace

CSettingApp::CSettingApp(Options options)
    : m_options(std::move(options)), m_instanceLock(m_options.lockDirectory) {}

CSettingApp::~CSettingApp() {
    // A run that ended without Exit (a close from outside) still stops the
    // monitor before its frame goes away.
    if (m_frame)
        m_frame->StopFlag() = 1;
    if (m_monitor.joinable())
        m_monitor.join();
    m_frame.reset();
}

bool CSettingApp::InitInstance() {
    m_pluginType = GetPluginType();

    std::string directory;
    if (!GetModuleDirectory(directory))
        return false;
    if (::chdir(directory.c_str()) != 0)
        return false;

    m_acceptedVersions.push_back(ACCEPTED_LANGUAGE_VERSION);
    OpenLog();
    ScanLanguageLibraries();
    LoadLanguageSetting();

    bool stopSilently = false;
    if (!TakeInstanceLock(stopSilently))
        return false;

    auto tray = m_options.makeTrayIcon ? m_options.makeTrayIcon()
                                       : std::unique_ptr<ITrayIcon>(new CQtTrayIcon());
    m_frame = std::make_unique<CMainFrame>(*this, std::move(tray), *m_options.clock,
                                           m_options.statusEventName);
    if (!m_frame->OnCreate())
        return false;
    m_frame->RefreshTrayTexts();

    LoadPluginUIDll(m_pluginLibrary);
    StartMonitor();
    if (m_options.configureAtStart)
        QMetaObject::invokeMethod(m_frame.get(), &CMainFrame::Configure, Qt::QueuedConnection);
    return true;
}

void CSettingApp::OpenLog() {
    std::string home;
    GetModuleDirectory(home);

    // A missing or unreadable size keeps this one; an explicit 0 still means
    // that the agent wants no rotation.
    DebugLogConfigRecord settings;
    settings.DebugLogFileMaxSize = DEFAULT_LOG_MAX_SIZE;
    LoadDebugLogConfig(settings);
    const uint32_t mask = GetIntDebugLevel(ToNarrowString(settings.DebugLogLevel, CP_ACP));
    bool enabled = mask != 0;

    const LogFileChoice choice = ChooseLogFile(home, settings.DebugLogPath, enabled);
    // Nowhere to write it: told once, where somebody starting the tool by
    // hand sees it.
    if (enabled && !choice.enabled) {
        std::string tried;
        for (const std::string& directory : choice.tried)
            tried += (tried.empty() ? "" : ", ") + directory;
        std::fprintf(stderr, "opal-agent-setting: no log is written: none of %s can take %s\n",
                     tried.c_str(), LOG_FILE_NAME);
    }
    enabled = choice.enabled;
    m_logFile = choice.file;

    auto* writer = new CLogTrackerEx(1, u"OPAL Agent Setting", enabled, true, enabled ? mask : 0,
                                     0x500000, 0);
    LogInitW(writer, ToWideString(m_logFile, CP_ACP).c_str(), true, settings.DebugLogFileMaxSize);
    LOG_PRINTF(LK_INFO, "Agent setting tool starting...  [%s|%d]");
    if (choice.inStateDirectory)
        LOG_PRINTF(LK_WARNING,
                   "The agent's log directory %s cannot be written by this user; the log is kept "
                   "in %s instead. [%s|%d]",
                   choice.agentDirectory, m_logFile);
}

void CSettingApp::ScanLanguageLibraries() {
    std::string home;
    GetModuleDirectory(home);
    const std::string directory = home + m_options.languageDirectory;
    std::vector<std::string> files;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() < 4 || name.compare(name.size() - 3, 3, ".so") != 0)
                continue;
            struct stat info {};
            if (::stat((directory + name).c_str(), &info) != 0 || S_ISDIR(info.st_mode))
                continue;
            files.push_back(name);
        }
        ::closedir(dir);
    }

    std::vector<LanguageCandidate> candidates;
    std::vector<std::unique_ptr<CResourceModule>> modules;
    for (const std::string& name : files) {
        auto module = CResourceModule::LoadLibraryFile(directory + name);
        if (!module) {
            LOG_PRINTF(LK_INFO, "Failed to load %s, [%s|%d]", name);
            continue;
        }
        LanguageCandidate c;
        if (auto s = module->LoadString(IDS_LANGUAGE_NUMBER, STRING_BUFFER_CHARS))
            c.number = *s, c.hasNumber = true;
        if (auto s = module->LoadString(IDS_RESOURCE_VERSION, STRING_BUFFER_CHARS))
            c.version = *s, c.hasVersion = true;
        if (auto s = module->LoadString(IDS_LANGUAGE_NAME, STRING_BUFFER_CHARS))
            c.name = *s, c.hasName = true;
        candidates.push_back(std::move(c));
        modules.push_back(std::move(module));
    }
    for (const LanguageChoice& choice : SelectLanguages(candidates, m_acceptedVersions)) {
        m_languages.push_back({choice.number, choice.name, std::move(modules[choice.candidate])});
        m_languageNumbers.push_back(choice.number);
    }
}

void CSettingApp::LoadLanguageSetting() {
    m_selectedLanguage = ReadLanguageSetting();
    if (m_selectedLanguage == 0) {
        CResourceLookup::SetResourceModule(nullptr);
        return;
    }
    const auto entry = std::find_if(m_languages.begin(), m_languages.end(),
                                    [&](const LanguageEntry& e) { return e.number == m_selectedLanguage; });
    if (entry == m_languages.end()) {
        CResourceLookup::SetResourceModule(nullptr);
        m_selectedLanguage = 0;
        SaveLanguageSetting(0);
        return;
    }
    CResourceLookup::SetResourceModule(entry->module.get());
}

CResourceModule* CSettingApp::GetLanguageResourceHandle() const {
    if (m_selectedLanguage != 0) {
        for (const LanguageEntry& entry : m_languages) {
            if (entry.number == m_selectedLanguage)
                return entry.module.get();
        }
    }
    return CResourceLookup::ProgramModule();
}

bool CSettingApp::TakeInstanceLock(bool& stopSilently) {
    const std::string name = "OPAL_AGENT_Setting_TOOL_" + std::to_string(m_pluginType);
    switch (m_instanceLock.Acquire(std::u16string(name.begin(), name.end()))) {
    case InstanceLock::Result::Acquired:
        return true;
    case InstanceLock::Result::Failed:
        stopSilently = true;
        return false;
    case InstanceLock::Result::AlreadyRunning:
        break;
    }
    CResourceModule* module = GetLanguageResourceHandle();
    const std::u16string text = module ? module->LoadString(IDS_ALREADY_RUNNING, 1023).value_or(u"") : u"";
    const std::u16string caption = module ? module->LoadString(IDS_CAPTION, 1023).value_or(u"") : u"";
    ShowMessageBox(nullptr, text, caption, MessageIcon::Warning, true);
    return false;
}

void CSettingApp::StartMonitor() {
    CMainFrame* frame = m_frame.get();
    AgentStatusMonitorContext context;
    context.stopFlag = &frame->StopFlag();
    context.cachedStatus = &frame->CachedStatus();
    context.clock = m_options.clock;
    context.postAgentStatus = [frame] { frame->PostAgentStatus(); };
    const std::u16string service = frame->ServiceName();
    // The monitor's own connection to the service manager, kept between
    // polls; only the monitor thread uses it.
    auto watch = std::make_shared<AgentServiceWatch>(service);
    context.queryAgentService = [watch] { return watch->Query(); };
    m_monitorFinished = false;
    m_monitor = std::thread([this, context] {
        AgentStatusMonitorThread(context);
        std::lock_guard lock(m_monitorMutex);
        m_monitorFinished = true;
        m_monitorDone.notify_all();
    });
}

void CSettingApp::WaitThreadExit() {
    LOG_PRINTF(LK_INFO, "WaitThreadExit. [%s|%d]");
    if (!m_monitor.joinable())
        return;
    std::unique_lock lock(m_monitorMutex);
    const bool finished = m_monitorDone.wait_for(lock, std::chrono::milliseconds(MONITOR_EXIT_WAIT_MS),
                                                 [this] { return m_monitorFinished; });
    lock.unlock();
    if (finished)
        m_monitor.join();
    else
        m_monitor.detach();
}

int CSettingApp::ExitInstance() {
    FreePluginUIDll(m_pluginLibrary);
    LogShutdown();
    return 0;
}
