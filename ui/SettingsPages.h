#pragma once
// The pages of the settings sheet and the HTTPS settings dialog: each binds
// its template's controls to the state of its rules (SettingsRules.h) and
// shows what the rules decide.

#include <functional>
#include <initializer_list>

#include "platform/gui/FrameworkDialog.h"
#include "ui/SettingsRules.h"

class CResourceModule;

// Strings of the selected language, as every message of the dialogs is
// loaded: through the module `module` answers at the moment of the lookup.
StringLoader LanguageStrings(std::function<CResourceModule*()> module);

// A message box of the dialogs: caption 7022, warning icon, topmost, owned
// by `owner`.
void ShowSettingsMessage(QWidget* owner, const std::u16string& text, const StringLoader& strings);
// Gives a failed check's control the focus (an edit also gets its text selected).
void FocusFailedControl(CFrameworkDialog& dialog, const ValidationFailure& failure);
// For a user who may not change the settings: every control keeps showing
// its value and takes no change (edits read-only; check boxes, radio
// buttons and push buttons disabled), except the push buttons in `keep`,
// which only show or test and are left as they are.
void MakeControlsReadOnly(CFrameworkDialog& dialog, std::initializer_list<int> keep = {});
// Shows a failed check and gives its control the focus.
void ReportValidationFailure(CFrameworkDialog& dialog, const ValidationFailure& failure,
                             const StringLoader& strings);

class CSSLConfig : public CFrameworkDialog {
    Q_OBJECT
public:
    CSSLConfig(QWidget* parent, StringLoader strings);

    SslConfigState m_state;
    // Shows the values only: no OK, nothing can be changed.
    bool m_readOnly = false;

protected:
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange* dx) override;
    void OnOK() override;
    void OnClicked(int id) override;

private:
    void EnableClientCertificateControls();
    void Browse(int edit, std::u16string& member, unsigned tooLongMessage);

    StringLoader m_strings;
};

class CNetworkPage : public CFrameworkDialog {
    Q_OBJECT
public:
    explicit CNetworkPage(StringLoader strings);

    // Reads the controls and runs the page's checks; a failure has been
    // shown to the user when it is returned.
    ValidationResult ExchangeAndValidate();
    // The HTTPS settings dialog while it is open, else null.
    CSSLConfig* HttpsDialog() const { return m_httpsDialog; }
    void OpenHttpsSettings();
    // Takes the desktop's proxy setting into the proxy fields.
    void ImportSystemProxy();

    NetworkPageState m_state;
    // Set before the page is created: shows the values only (see
    // MakeControlsReadOnly); its HTTPS settings open read-only too.
    bool m_readOnly = false;

signals:
    // Enter in the page: once the HTTPS settings are closed the focus goes
    // back to the sheet.
    void FocusToSheet();

protected:
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange* dx) override;
    void OnClicked(int id) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ApplyEnableStates();

    StringLoader m_strings;
    CSSLConfig* m_httpsDialog = nullptr;
};

class CAdvancedPage : public CFrameworkDialog {
    Q_OBJECT
public:
    explicit CAdvancedPage(StringLoader strings);

    ValidationResult ExchangeAndValidate();

    AdvancedPageState m_state;
    // As the General page's.
    bool m_readOnly = false;

protected:
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange* dx) override;
    void OnClicked(int id) override;

private:
    StringLoader m_strings;
};
