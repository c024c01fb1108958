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

#include "platform/gui/FrameworkDialog.h"
#include "shell/MainFrame.h"
#include "ui/SettingsPages.h"

class CSettingApp;
class CResourceModule;

struct SettingsSheetContext {
    // The module every message is loaded from (the selected language's).
    std::function<CResourceModule*()> languageModule;
    // The agent service's name, shown in the title.
    std::u16string serviceName;
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
    void ShowPage(int index);

    SettingsSheetContext m_context;
    StringLoader m_strings;
    std::unique_ptr<CNetworkPage> m_general;
    std::unique_ptr<CAdvancedPage> m_advanced;
    QImage m_bannerLeft;
    QImage m_bannerRight;
    QImage m_bannerWide;
    // No page shows it, so a save keeps the value that was loaded.
    int32_t m_loadedMaxRetryTimes = 0;
};

// The factory the tray frame opens its sheet with.
SettingsSheetFactory MakeSettingsSheetFactory(CSettingApp& app);
