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

#include "platform/gui/ResourceModule.h"
#include "platform/system/Clock.h"
#include "platform/system/InstanceLock.h"
#include "shell/LogLocation.h"
#include "shell/MainFrame.h"

struct LanguageEntry {
    int32_t number = 0;
    std::u16string name;
    std::unique_ptr<CResourceModule> module;
};

// The agent's settings give the log's size limit; when they lack it, the log
// is rotated at the same 5 MiB the writer is constructed with.
inline constexpr int32_t DEFAULT_LOG_MAX_SIZE = 0x500000;
inline constexpr uint64_t MONITOR_EXIT_WAIT_MS = 1800000;

class CSettingApp {
public:
    struct Options {
        Clock* clock = &SystemClock::Instance();
        std::string lockDirectory = "/tmp";
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

    void ScanLanguageLibraries();
    void LoadLanguageSetting();

private:
    void OpenLog();
    bool TakeInstanceLock(bool& stopSilently);
    void StartMonitor();

    Options m_options;
    int32_t m_pluginType = 0;
    void* m_pluginLibrary = nullptr;
    std::vector<std::string> m_acceptedVersions;
    std::vector<LanguageEntry> m_languages;
    std::vector<int32_t> m_languageNumbers;
    int32_t m_selectedLanguage = 0;
    InstanceLock m_instanceLock;
    std::unique_ptr<CMainFrame> m_frame;
    std::string m_logFile;

    std::thread m_monitor;
    std::mutex m_monitorMutex;
    std::condition_variable m_monitorDone;
    bool m_monitorFinished = false;
};
