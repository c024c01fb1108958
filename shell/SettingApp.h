#pragma once
// The application object: the start-up sequence (working directory, log,
// languages, single instance, tray frame, plug-in, status monitor) and the
// orderly end of the run.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QString>

#include "platform/gui/ResourceModule.h"
#include "platform/system/Clock.h"
#include "platform/system/InstanceChannel.h"
#include "platform/system/InstanceLock.h"
#include "shell/MainFrame.h"
#include "shell/ToolLog.h"

class QSocketNotifier;
class QTranslator;

struct LanguageEntry {
    int32_t number = 0;
    std::u16string name;
    std::unique_ptr<CResourceModule> module;
};

inline constexpr uint64_t MONITOR_EXIT_WAIT_MS = 1800000;
// How long a later start waits for the running instance to take its request,
// and how long the instance waits for the request line of a connection.
inline constexpr int FORWARD_ANSWER_TIMEOUT_MS = 5000;
inline constexpr int FORWARD_REQUEST_TIMEOUT_MS = 1000;
// The lines of the instance channel.
inline constexpr char FORWARD_CONFIGURE[] = "configure";
inline constexpr char FORWARD_DONE[] = "ok";
inline constexpr char FORWARD_UNKNOWN[] = "unknown";

class CSettingApp {
public:
    struct Options {
        Clock* clock = &SystemClock::Instance();
        // The user's runtime directory; /tmp where the session has none.
        std::string lockDirectory = InstanceLock::DefaultDirectory();
        // How long a --configure start waits for the running instance.
        int forwardTimeoutMs = FORWARD_ANSWER_TIMEOUT_MS;
        // SIGTERM, SIGINT and SIGHUP run the Exit command. The program sets
        // it; tests that run several applications in one process do not.
        bool exitOnSignals = false;
        std::function<std::unique_ptr<ITrayIcon>()> makeTrayIcon;
        // Where language libraries are looked for, relative to the program
        // directory.
        std::string languageDirectory = "Language/";
        // The event the agent side opens; machine-wide, so tests that run
        // side by side each use a name of their own.
        std::u16string statusEventName = STATUS_EVENT_NAME;
        // Opens the settings sheet once the event loop runs, as "Configure"
        // does, after whatever the caller wires up between InitInstance and
        // the loop (the sheet's factory).
        bool configureAtStart = false;
        // Show the status window from the start rather than only when no
        // tray host turns up.
        bool statusWindow = false;
        // Why Qt's plug-ins are not taken from the program directory
        // (RestrictQtLibraryPaths), for the log; empty when they may be.
        std::string qtPluginPathRefused;
    };

    explicit CSettingApp(Options options);
    ~CSettingApp();

    // The start-up sequence. False ends the run (silently, or after the
    // already-running message).
    bool InitInstance();
    int ExitInstance();
    void WaitThreadExit();

    // The selected language's library, else the program's own module.
    CResourceModule* GetLanguageResourceHandle() const;

    const std::vector<LanguageEntry>& Languages() const { return m_languages; }
    int32_t SelectedLanguage() const { return m_selectedLanguage; }
    void SetSelectedLanguage(int32_t number) { m_selectedLanguage = number; }
    int32_t PluginType() const { return m_pluginType; }
    CMainFrame* MainFrame() const { return m_frame.get(); }
    bool MonitorRunning() const { return m_monitor.joinable(); }
    void* PluginLibrary() const { return m_pluginLibrary; }
    const std::string& LogFilePath() const { return m_logFile; }
    // The start ended because it handed --configure to the running instance.
    bool Forwarded() const { return m_forwarded; }
    // The socket through which later starts reach this instance; empty when
    // it does not listen.
    const std::string& InstanceSocketPath() const { return m_channel.Path(); }

    void ScanLanguageLibraries();
    void LoadLanguageSetting();
    // What Qt shows of the selected language: the product's name (the tray
    // item's title) and Qt's own texts (standard buttons) in that language.
    void ApplyLanguageToQt();
    // The Qt translation in use, empty when Qt speaks English.
    QString QtTranslationFile() const;

private:
    void OpenLog();
    bool TakeInstanceLock(bool& stopSilently);
    bool ForwardConfigure();
    void ListenForLaterStarts();
    void OnLaterStart();
    void ExitOnSignals();
    void StartMonitor();
    std::u16string InstanceName() const;

    Options m_options;
    int32_t m_pluginType = 0;
    void* m_pluginLibrary = nullptr;
    std::vector<std::string> m_acceptedVersions;
    std::vector<LanguageEntry> m_languages;
    std::vector<int32_t> m_languageNumbers;
    int32_t m_selectedLanguage = 0;
    InstanceLock m_instanceLock;
    bool m_forwarded = false;
    std::unique_ptr<CMainFrame> m_frame;
    std::string m_logFile;
    // After the lock, so that the socket goes before the lock is released.
    InstanceChannel m_channel;
    std::unique_ptr<QSocketNotifier> m_channelNotifier;
    std::unique_ptr<QSocketNotifier> m_signalNotifier;
    std::unique_ptr<QTranslator> m_qtTranslator;

    std::thread m_monitor;
    std::mutex m_monitorMutex;
    std::condition_variable m_monitorDone;
    bool m_monitorFinished = false;
};
