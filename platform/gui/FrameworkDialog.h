#pragma once
// The base of the tool's dialogs and dialog pages: a window built from a
// dialog template, with access to its controls by id, data exchange between
// controls and members, and a modal run that answers IDOK or IDCANCEL.
//
// A subclass overrides OnInitDialog (called once the controls exist),
// DoDataExchange (members <-> controls), OnClicked (button clicks) and, if it
// validates, OnOK. Pages are created with Create() as child windows of their
// sheet; dialogs run with DoModal().

#include <cstdint>
#include <optional>
#include <string>

#include <QDialog>

#include "platform/gui/DialogBuilder.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/ResourceTemplates.h"

class CTabControl;
class CFrameworkDialog;

// Framework texts, looked up through the framework's resource lookup so that
// a language library may translate them. "%d" receives the number.
inline constexpr unsigned IDS_FRAMEWORK_PARSE_INT = 61700; // "Enter an integer."
inline constexpr unsigned IDS_FRAMEWORK_TEXT_TOO_LONG =
    61701; // "Enter no more than %d characters."

inline constexpr int BST_UNCHECKED = 0;
inline constexpr int BST_CHECKED = 1;

// One exchange between a dialog's controls and its members. When it saves,
// the first failing check shows its message, puts the focus on its control
// and marks the exchange failed; the exchange calls that follow do nothing.
class CDataExchange {
public:
    CDataExchange(CFrameworkDialog* dialog, bool saveAndValidate)
        : m_dialog(dialog), m_saveAndValidate(saveAndValidate) {}

    CFrameworkDialog* Dialog() const { return m_dialog; }
    bool Saving() const { return m_saveAndValidate; }
    bool Failed() const { return m_failed; }
    // Ends the exchange as failed; the focus goes to the last control
    // exchanged (an edit also gets its text selected).
    void Fail();
    int LastControl() const { return m_lastControl; }
    void SetLastControl(int id) { m_lastControl = id; }

private:
    CFrameworkDialog* m_dialog;
    bool m_saveAndValidate;
    bool m_failed = false;
    int m_lastControl = 0;
};

void DDX_Text(CDataExchange* dx, int id, std::u16string& value);
// Integer exchange: a decimal number with an optional sign, blanks around it allowed.
void DDX_Text(CDataExchange* dx, int id, int32_t& value);
void DDX_Check(CDataExchange* dx, int id, int& value);
// The index of the checked button in the radio group of `firstId`, -1 for none.
void DDX_Radio(CDataExchange* dx, int firstId, int& value);
// Limits the last exchanged edit: loading sets what may be typed, saving
// refuses a longer text with the framework's message.
void DDV_MaxChars(CDataExchange* dx, const std::u16string& value, int maxChars);

class CFrameworkDialog : public QDialog {
    Q_OBJECT
public:
    // The template is taken through the framework's resource lookup when the
    // window is created.
    explicit CFrameworkDialog(unsigned templateId, QWidget* parent = nullptr);
    // A template given by the caller (for instance read from one module).
    explicit CFrameworkDialog(const CDialogTemplate& dialogTemplate, QWidget* parent = nullptr);
    ~CFrameworkDialog() override;

    // Runs the dialog modally: IDOK or IDCANCEL, -1 when its template cannot
    // be found or OnInitDialog fails.
    int DoModal();
    // Creates the dialog as a child window of `parent` (a page of a sheet),
    // hidden; false when the template cannot be found.
    bool Create(QWidget* parent);
    // Creates the dialog as a window of its own without running it, hidden;
    // false when the template cannot be found or OnInitDialog fails.
    bool CreateModeless();
    void EndDialog(int result);
    bool IsCreated() const { return m_created; }

    // Controls -> members when `saveAndValidate`, members -> controls otherwise.
    bool UpdateData(bool saveAndValidate = true);

    QWidget* GetDlgItem(int id) const;
    CTabControl* GetTabControl(int id) const;
    void EnableDlgItem(int id, bool enable);
    bool IsDlgItemEnabled(int id) const;
    void ShowDlgItem(int id, bool show);
    void SetDlgItemText(int id, const std::u16string& text);
    std::u16string GetDlgItemText(int id) const;
    void CheckDlgButton(int id, int check);
    int IsDlgButtonChecked(int id) const;
    // Checks `checkId` and unchecks the other buttons from firstId to lastId
    // in template order.
    void CheckRadioButton(int firstId, int lastId, int checkId);
    // Selects characters [start, end) of an edit; end -1 selects to the end.
    void SelectEditText(int id, int start = 0, int end = -1);
    // Gives a control the focus; an edit gets its whole text selected.
    void GotoDlgCtrl(int id);

    const CDialogControls& Controls() const { return m_controls; }
    const CDialogTemplate& Template() const { return m_template; }

protected:
    virtual bool OnInitDialog();
    virtual void DoDataExchange(CDataExchange* dx);
    virtual void OnOK();
    virtual void OnCancel();
    // A button, check box or radio button was clicked. IDOK and IDCANCEL
    // call OnOK and OnCancel.
    virtual void OnClicked(int id);

    void accept() override;
    void reject() override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool Build();

    unsigned m_templateId = 0;
    bool m_haveTemplate = false;
    CDialogTemplate m_template;
    CDialogControls m_controls;
    bool m_created = false;
    bool m_child = false;
};

// Shows one of the framework's own messages: warning icon, topmost, owned by
// `owner`, under the application's name.
void ShowFrameworkMessage(QWidget* owner, unsigned id, int number);
