#pragma once
// The settings sheet: a banner, the General and Advanced pages over a tab
// control, and Test Connection, OK and Cancel. It loads the agent's working
// and local configuration into the pages when it opens and, on OK, saves the
// network configuration and tells the agent about it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <QImage>

#include "config/AgentAccess.h"
#include "platform/gui/FrameworkDialog.h"
#include "shell/MainFrame.h"
#include "ui/SettingsPages.h"

class CSettingApp;
class CResourceModule;
class QLabel;

// The line a user who may not change the settings reads in the sheet; "%s"
// is the administrators' group.
inline constexpr unsigned IDS_SETTINGS_READ_ONLY = 7130;
// The same where the stored settings cannot even be read by this user.
inline constexpr unsigned IDS_SETTINGS_NOT_READABLE = 7131;
// The object name of that line.
inline constexpr char SETTINGS_READ_ONLY_LINE_NAME[] = "settingsReadOnlyLine";

struct SettingsSheetContext {
    // The module every message is loaded from (the selected language's).
    std::function<CResourceModule*()> languageModule;
    // The agent service's name, shown in the title.
    std::u16string serviceName;
    // What this user may do with the settings; the sheet asks the files
    // when it opens unless told here.
    std::function<AgentSettingsAccess()> access;
};

class CConfigureAgent4VSM : public CFrameworkDialog, public ISettingsSheet {
    Q_OBJECT
public:
    explicit CConfigureAgent4VSM(SettingsSheetContext context);
    ~CConfigureAgent4VSM() override;

    // ISettingsSheet
    int RunModal() override;
    void Activate() override;
    void CloseWithoutSaving() override;

    // Shows tab `index` as a click on it would; nothing when it is shown.
    void SelectTab(int index);
    int CurrentTab() const;

    CNetworkPage& GeneralPage() { return *m_general; }
    // The sheet only shows the settings: this user may not change them.
    bool IsReadOnly() const { return !m_access.changeable; }
    CAdvancedPage& AdvancedPage() { return *m_advanced; }

    // The Test Connection button.
    void OnTestConnection();

protected:
    bool OnInitDialog() override;
    void OnOK() override;
    void OnClicked(int id) override;
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    // Both pages' checks, switching to the page that refuses.
    bool ValidatePages();
    void Save();
    void SaveThroughHelper();
    void ShowPage(int index);
    // No OK, and the line that says why, below the pages.
    void ShowReadOnlyLine(const std::u16string& text);

    SettingsSheetContext m_context;
    StringLoader m_strings;
    std::unique_ptr<CNetworkPage> m_general;
    std::unique_ptr<CAdvancedPage> m_advanced;
    QImage m_bannerLeft;
    QImage m_bannerRight;
    QImage m_bannerWide;
    // No page shows it, so a save keeps the value that was loaded.
    int32_t m_loadedMaxRetryTimes = 0;
    AgentSettingsAccess m_access{true, true};
};

// The factory the tray frame opens its sheet with.
SettingsSheetFactory MakeSettingsSheetFactory(CSettingApp& app);
