#include "shell/SettingApp.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTranslator>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "config/DebugConfig.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/ResourceLookup.h"
#include "platform/system/SignalPipe.h"
#include "platform/system/TrustedFile.h"
#include "shell/LanguageSetting.h"
#include "shell/PluginLoader.h"
#include "shell/ToolLog.h"

namespace {

constexpr unsigned IDS_LANGUAGE_NUMBER = 7056;
constexpr unsigned IDS_LANGUAGE_NAME = 7057;
constexpr unsigned IDS_RESOURCE_VERSION = 7121;
constexpr unsigned IDS_ALREADY_RUNNING = 7033;
constexpr unsigned IDS_CAPTION = 7022;
constexpr unsigned IDS_PRODUCT_NAME = 128;
// The language's locale name ("ja"), for Qt's own translations.
constexpr unsigned IDS_QT_LOCALE = 7147;
constexpr std::size_t STRING_BUFFER_CHARS = 254;

} // namespace

CSettingApp::CSettingApp(Options options)
    : m_options(std::move(options)), m_instanceLock(m_options.lockDirectory) {}

CSettingApp::~CSettingApp() {
    m_signalNotifier.reset();
    if (m_options.exitOnSignals)
        SignalPipe::Uninstall();
    m_channelNotifier.reset();
    m_channel.Close();
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
    if (!m_options.qtPluginPathRefused.empty())
        LOG_PRINTF(LK_WARNING, "Qt plug-ins are not taken from the program directory: %s. [%s|%d]",
                   m_options.qtPluginPathRefused);
    ScanLanguageLibraries();
    LoadLanguageSetting();
    ApplyLanguageToQt();

    bool stopSilently = false;
    if (!TakeInstanceLock(stopSilently))
        return false;

    auto tray = m_options.makeTrayIcon ? m_options.makeTrayIcon()
                                       : std::unique_ptr<ITrayIcon>(new CQtTrayIcon());
    m_frame = std::make_unique<CMainFrame>(*this, std::move(tray), *m_options.clock,
                                           m_options.statusEventName);
    m_frame->SetStatusWindowForced(m_options.statusWindow);
    if (!m_frame->OnCreate())
        return false;
    m_frame->RefreshTrayTexts();
    if (m_options.exitOnSignals)
        ExitOnSignals();
    if (m_instanceLock.Held())
        ListenForLaterStarts();

    LoadPluginUIDll(m_pluginLibrary);
    StartMonitor();
    if (m_options.configureAtStart)
        QMetaObject::invokeMethod(m_frame.get(), &CMainFrame::Configure, Qt::QueuedConnection);
    return true;
}

void CSettingApp::OpenLog() {
    m_logFile = OpenToolLog(u"OPAL Agent Setting", "opal-agent-setting");
    LOG_PRINTF(LK_INFO, "Agent setting tool starting...  [%s|%d]");
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

    // A language library's texts end up in every user's menus and message
    // boxes and its bundle goes through the resource reader: it is read only
    // when nobody but root (or the owner of this agent home) could have
    // written it, and from the very file that was checked.
    const TrustedOwners owners = OwnersForAgentHome(home);
    std::vector<LanguageCandidate> candidates;
    std::vector<std::unique_ptr<CResourceModule>> modules;
    for (const std::string& name : files) {
        std::string why;
        const int fd = OpenTrustedFile(directory, name, owners, why);
        if (fd < 0) {
            LOG_PRINTF(LK_WARNING, "The language library is not read: %s. [%s|%d]", why);
            continue;
        }
        auto module = CResourceModule::LoadLibraryFile(DescriptorPath(fd));
        ::close(fd);
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
    const auto entry =
        std::find_if(m_languages.begin(), m_languages.end(),
                     [&](const LanguageEntry& e) { return e.number == m_selectedLanguage; });
    if (entry == m_languages.end()) {
        CResourceLookup::SetResourceModule(nullptr);
        m_selectedLanguage = 0;
        SaveLanguageChoice(0, false);
        return;
    }
    CResourceLookup::SetResourceModule(entry->module.get());
}

void CSettingApp::ApplyLanguageToQt() {
    CResourceModule* module = GetLanguageResourceHandle();
    if (module == nullptr)
        return;
    // StatusNotifierItem hosts list and announce the item by this name.
    if (const auto name = module->LoadString(IDS_PRODUCT_NAME, STRING_BUFFER_CHARS);
        name && !name->empty())
        QCoreApplication::setApplicationName(QString::fromStdU16String(*name));

    if (m_qtTranslator) {
        QCoreApplication::removeTranslator(m_qtTranslator.get());
        m_qtTranslator.reset();
    }
    const std::u16string locale =
        module->LoadString(IDS_QT_LOCALE, STRING_BUFFER_CHARS).value_or(std::u16string());
    if (locale.empty() || locale == u"en")
        return;
    auto translator = std::make_unique<QTranslator>();
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QLocale(QString::fromStdU16String(locale)), QStringLiteral("qtbase"),
                          QStringLiteral("_"), folder)) {
        LOG_PRINTF(LK_WARNING,
                   "Qt's own texts for %s are not in %s (package qt6-translations-l10n); its "
                   "standard buttons stay in English. [%s|%d]",
                   QString::fromStdU16String(locale).toStdString(), folder.toStdString());
        return;
    }
    QCoreApplication::installTranslator(translator.get());
    m_qtTranslator = std::move(translator);
}

QString CSettingApp::QtTranslationFile() const {
    return m_qtTranslator ? m_qtTranslator->filePath() : QString();
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

std::u16string CSettingApp::InstanceName() const {
    const std::string name = "OPAL_AGENT_Setting_TOOL_" + std::to_string(m_pluginType);
    return std::u16string(name.begin(), name.end());
}

bool CSettingApp::TakeInstanceLock(bool& stopSilently) {
    switch (m_instanceLock.Acquire(InstanceName())) {
    case InstanceLock::Result::Acquired:
        return true;
    case InstanceLock::Result::ForeignFile:
        // Planted or left by another user: it cannot tell whether we run,
        // and we cannot use it to say so.
        LOG_PRINTF(LK_WARNING,
                   "The instance lock %s is not this user's own; running without it. [%s|%d]",
                   m_instanceLock.PathFor(InstanceName()));
        return true;
    case InstanceLock::Result::Failed:
        stopSilently = true;
        return false;
    case InstanceLock::Result::AlreadyRunning:
        break;
    }
    if (m_options.configureAtStart && ForwardConfigure()) {
        m_forwarded = true;
        return false;
    }
    CResourceModule* module = GetLanguageResourceHandle();
    const std::u16string text =
        module ? module->LoadString(IDS_ALREADY_RUNNING, 1023).value_or(u"") : u"";
    const std::u16string caption =
        module ? module->LoadString(IDS_CAPTION, 1023).value_or(u"") : u"";
    ShowMessageBox(nullptr, text, caption, MessageIcon::Warning, true);
    return false;
}

bool CSettingApp::ForwardConfigure() {
    const std::string path = m_instanceLock.SocketPathFor(InstanceName());
    std::string answer;
    switch (AskRunningInstance(path, FORWARD_CONFIGURE, answer, m_options.forwardTimeoutMs)) {
    case ForwardResult::Answered:
        if (answer == FORWARD_DONE) {
            LOG_PRINTF(LK_INFO, "The running instance opens its settings sheet. [%s|%d]");
            return true;
        }
        LOG_PRINTF(LK_WARNING, "The running instance refused the settings sheet: %s [%s|%d]",
                   answer);
        return false;
    case ForwardResult::NoInstance:
        LOG_PRINTF(LK_WARNING, "The running instance does not listen at %s. [%s|%d]", path);
        return false;
    case ForwardResult::WrongUser:
        LOG_PRINTF(LK_WARNING, "%s belongs to another user; it is not asked. [%s|%d]", path);
        return false;
    case ForwardResult::NoAnswer:
        break;
    }
    LOG_PRINTF(LK_WARNING, "The running instance did not answer at %s. [%s|%d]", path);
    return false;
}

void CSettingApp::ListenForLaterStarts() {
    const std::string path = m_instanceLock.SocketPathFor(InstanceName());
    if (const int error = m_channel.Listen(path); error != 0) {
        LOG_PRINTF(LK_WARNING, "Later starts cannot reach this instance at %s: %s [%s|%d]", path,
                   std::string(std::strerror(error)));
        return;
    }
    m_channelNotifier = std::make_unique<QSocketNotifier>(m_channel.Fd(), QSocketNotifier::Read);
    QObject::connect(m_channelNotifier.get(), &QSocketNotifier::activated, m_frame.get(),
                     [this] { OnLaterStart(); });
}

void CSettingApp::OnLaterStart() {
    InstanceChannel::Request request;
    while (m_channel.AcceptRequest(request, FORWARD_REQUEST_TIMEOUT_MS)) {
        if (request.line != FORWARD_CONFIGURE || m_frame->Exiting()) {
            InstanceChannel::Answer(request, FORWARD_UNKNOWN);
            continue;
        }
        // Only for a start that still waits for the answer; the sheet opens
        // once this handler has returned to the loop.
        if (!InstanceChannel::Answer(request, FORWARD_DONE))
            continue;
        LOG_PRINTF(LK_INFO, "A later start asks for the settings sheet. [%s|%d]");
        QMetaObject::invokeMethod(m_frame.get(), &CMainFrame::Configure, Qt::QueuedConnection);
    }
}

void CSettingApp::ExitOnSignals() {
    if (const int error = SignalPipe::Install({SIGTERM, SIGINT, SIGHUP}); error != 0) {
        LOG_PRINTF(LK_WARNING, "Signals cannot end the tool in order: %s [%s|%d]",
                   std::string(std::strerror(error)));
        return;
    }
    m_signalNotifier =
        std::make_unique<QSocketNotifier>(SignalPipe::ReadFd(), QSocketNotifier::Read);
    QObject::connect(m_signalNotifier.get(), &QSocketNotifier::activated, m_frame.get(), [this] {
        for (const int signal : SignalPipe::TakePending()) {
            const char* name = sigabbrev_np(signal);
            LOG_PRINTF(LK_WARNING, "SIG%s received; the tool exits. [%s|%d]",
                       std::string(name != nullptr ? name : "?"));
        }
        m_frame->Exit();
    });
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
    context.queryAgentService = [watch, frame] {
        const ServiceRunState state = watch->Query();
        frame->NoteServiceState(state);
        return state;
    };
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
    const bool finished =
        m_monitorDone.wait_for(lock, std::chrono::milliseconds(MONITOR_EXIT_WAIT_MS),
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
