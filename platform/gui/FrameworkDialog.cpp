#include "platform/gui/FrameworkDialog.h"

#include <limits>

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>

#include "platform/gui/ResourceLookup.h"
#include "platform/gui/TabControl.h"

namespace {

std::u16string FrameworkText(unsigned id) {
    if (std::optional<std::u16string> text = CResourceLookup::LoadString(id))
        return *text;
    // A module without the framework's texts still gets a readable message.
    return id == IDS_FRAMEWORK_PARSE_INT ? u"Enter an integer."
                                         : u"Enter no more than %d characters.";
}

QString Q(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

bool ParseInt32(const QString& text, int32_t& value) {
    bool ok = false;
    const qlonglong parsed = text.trimmed().toLongLong(&ok, 10);
    if (!ok || parsed < std::numeric_limits<int32_t>::min() ||
        parsed > std::numeric_limits<int32_t>::max())
        return false;
    value = static_cast<int32_t>(parsed);
    return true;
}

} // namespace

void ShowFrameworkMessage(QWidget* owner, unsigned id, int number) {
    std::u16string text = FrameworkText(id);
    const std::size_t at = text.find(u"%d");
    if (at != std::u16string::npos)
        text.replace(at, 2, QString::number(number).toStdU16String());
    ShowMessageBox(owner, text, QGuiApplication::applicationDisplayName().toStdU16String(),
                   MessageIcon::Warning, true);
}

// ---- data exchange ----------------------------------------------------------

void CDataExchange::Fail() {
    m_failed = true;
    if (m_lastControl != 0)
        m_dialog->GotoDlgCtrl(m_lastControl);
}

void DDX_Text(CDataExchange* dx, int id, std::u16string& value) {
    if (dx->Failed())
        return;
    dx->SetLastControl(id);
    if (dx->Saving())
        value = dx->Dialog()->GetDlgItemText(id);
    else
        dx->Dialog()->SetDlgItemText(id, value);
}

void DDX_Text(CDataExchange* dx, int id, int32_t& value) {
    if (dx->Failed())
        return;
    dx->SetLastControl(id);
    if (!dx->Saving()) {
        dx->Dialog()->SetDlgItemText(id, QString::number(value).toStdU16String());
        return;
    }
    int32_t parsed = 0;
    if (!ParseInt32(Q(dx->Dialog()->GetDlgItemText(id)), parsed)) {
        ShowFrameworkMessage(dx->Dialog(), IDS_FRAMEWORK_PARSE_INT, 0);
        dx->Fail();
        return;
    }
    value = parsed;
}

void DDX_Check(CDataExchange* dx, int id, int& value) {
    if (dx->Failed())
        return;
    dx->SetLastControl(id);
    if (dx->Saving())
        value = dx->Dialog()->IsDlgButtonChecked(id);
    else
        dx->Dialog()->CheckDlgButton(id, value);
}

void DDX_Radio(CDataExchange* dx, int firstId, int& value) {
    if (dx->Failed())
        return;
    dx->SetLastControl(firstId);
    const std::vector<const CBuiltControl*> group = dx->Dialog()->Controls().RadioGroupOf(firstId);
    if (dx->Saving()) {
        value = -1;
        for (std::size_t i = 0; i < group.size(); ++i) {
            if (static_cast<QAbstractButton*>(group[i]->widget)->isChecked())
                value = static_cast<int>(i);
        }
        return;
    }
    if (group.empty())
        return;
    QButtonGroup* buttons = group.front()->radioGroup;
    // An exclusive group refuses to uncheck its last checked button.
    buttons->setExclusive(false);
    for (std::size_t i = 0; i < group.size(); ++i)
        static_cast<QAbstractButton*>(group[i]->widget)->setChecked(static_cast<int>(i) == value);
    buttons->setExclusive(true);
}

void DDV_MaxChars(CDataExchange* dx, const std::u16string& value, int maxChars) {
    if (dx->Failed())
        return;
    if (!dx->Saving()) {
        if (auto* edit = qobject_cast<QLineEdit*>(dx->Dialog()->GetDlgItem(dx->LastControl())))
            SetEditTextLimit(edit, maxChars);
        return;
    }
    // The limit counts characters as the user sees them, not UTF-16 units.
    const qsizetype length = Q(value).toUcs4().size();
    if (length > maxChars) {
        ShowFrameworkMessage(dx->Dialog(), IDS_FRAMEWORK_TEXT_TOO_LONG, maxChars);
        dx->Fail();
    }
}

// ---- the dialog -------------------------------------------------------------

CFrameworkDialog::CFrameworkDialog(unsigned templateId, QWidget* parent)
    : QDialog(parent), m_templateId(templateId) {}

CFrameworkDialog::CFrameworkDialog(const CDialogTemplate& dialogTemplate, QWidget* parent)
    : QDialog(parent), m_templateId(dialogTemplate.id), m_haveTemplate(true),
      m_template(dialogTemplate) {}

CFrameworkDialog::~CFrameworkDialog() = default;

bool CFrameworkDialog::Build() {
    if (m_created)
        return true;
    if (!m_haveTemplate) {
        std::optional<CDialogTemplate> found = CResourceLookup::LoadDialog(m_templateId);
        if (!found)
            return false;
        m_template = std::move(*found);
        m_haveTemplate = true;
    }
    m_controls = BuildDialogControls(m_template, this);
    setWindowTitle(m_template.caption);
    for (const CBuiltControl& control : m_controls.All()) {
        if (auto* button = qobject_cast<QAbstractButton*>(control.widget)) {
            const int id = control.id;
            connect(button, &QAbstractButton::clicked, this, [this, id]() { OnClicked(id); });
        }
    }
    m_created = true;
    return true;
}

int CFrameworkDialog::DoModal() {
    if (!Build())
        return -1;
    if (!OnInitDialog())
        return -1;
    return exec();
}

bool CFrameworkDialog::Create(QWidget* parent) {
    m_child = true;
    setParent(parent, Qt::Widget);
    if (!Build())
        return false;
    OnInitDialog();
    return true;
}

bool CFrameworkDialog::CreateModeless() {
    if (!Build())
        return false;
    return OnInitDialog();
}

void CFrameworkDialog::EndDialog(int result) {
    if (m_child) {
        hide();
        setResult(result);
        return;
    }
    done(result);
}

bool CFrameworkDialog::UpdateData(bool saveAndValidate) {
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return !dx.Failed();
}

bool CFrameworkDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void CFrameworkDialog::DoDataExchange(CDataExchange*) {}

void CFrameworkDialog::OnOK() {
    if (!UpdateData(true))
        return;
    EndDialog(IDOK);
}

void CFrameworkDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CFrameworkDialog::OnClicked(int id) {
    if (id == IDOK)
        OnOK();
    else if (id == IDCANCEL)
        OnCancel();
}

void CFrameworkDialog::accept() {
    OnOK();
}

void CFrameworkDialog::reject() {
    OnCancel();
}

void CFrameworkDialog::keyPressEvent(QKeyEvent* event) {
    if (m_child) {
        // A page leaves Enter and Escape to the sheet it lies on.
        QWidget::keyPressEvent(event);
        return;
    }
    QDialog::keyPressEvent(event);
}

QWidget* CFrameworkDialog::GetDlgItem(int id) const {
    return m_controls.Find(id);
}

CTabControl* CFrameworkDialog::GetTabControl(int id) const {
    return qobject_cast<CTabControl*>(GetDlgItem(id));
}

void CFrameworkDialog::EnableDlgItem(int id, bool enable) {
    if (QWidget* item = GetDlgItem(id))
        item->setEnabled(enable);
}

bool CFrameworkDialog::IsDlgItemEnabled(int id) const {
    const QWidget* item = GetDlgItem(id);
    return item != nullptr && item->isEnabled();
}

void CFrameworkDialog::ShowDlgItem(int id, bool show) {
    if (QWidget* item = GetDlgItem(id))
        item->setHidden(!show);
}

void CFrameworkDialog::SetDlgItemText(int id, const std::u16string& text) {
    QWidget* item = GetDlgItem(id);
    const QString value = Q(text);
    if (auto* edit = qobject_cast<QLineEdit*>(item))
        edit->setText(value);
    else if (auto* label = qobject_cast<QLabel*>(item))
        label->setText(value);
    else if (auto* button = qobject_cast<QAbstractButton*>(item))
        button->setText(value);
    else if (auto* group = qobject_cast<QGroupBox*>(item))
        group->setTitle(value);
    else if (item != nullptr)
        item->setWindowTitle(value);
}

std::u16string CFrameworkDialog::GetDlgItemText(int id) const {
    const QWidget* item = GetDlgItem(id);
    QString value;
    if (auto* edit = qobject_cast<const QLineEdit*>(item))
        value = edit->text();
    else if (auto* label = qobject_cast<const QLabel*>(item))
        value = label->text();
    else if (auto* button = qobject_cast<const QAbstractButton*>(item))
        value = button->text();
    else if (auto* group = qobject_cast<const QGroupBox*>(item))
        value = group->title();
    else if (item != nullptr)
        value = item->windowTitle();
    return value.toStdU16String();
}

void CFrameworkDialog::CheckDlgButton(int id, int check) {
    const CBuiltControl* entry = m_controls.Entry(id);
    if (entry == nullptr)
        return;
    auto* button = qobject_cast<QAbstractButton*>(entry->widget);
    if (button == nullptr)
        return;
    if (entry->radioGroup != nullptr && check == BST_UNCHECKED) {
        entry->radioGroup->setExclusive(false);
        button->setChecked(false);
        entry->radioGroup->setExclusive(true);
        return;
    }
    button->setChecked(check == BST_CHECKED);
}

int CFrameworkDialog::IsDlgButtonChecked(int id) const {
    const auto* button = qobject_cast<const QAbstractButton*>(GetDlgItem(id));
    return button != nullptr && button->isChecked() ? BST_CHECKED : BST_UNCHECKED;
}

void CFrameworkDialog::CheckRadioButton(int firstId, int lastId, int checkId) {
    bool inRange = false;
    for (const CBuiltControl& control : m_controls.All()) {
        if (control.id == firstId)
            inRange = true;
        if (inRange && control.kind == ControlKind::RadioButton)
            CheckDlgButton(control.id, control.id == checkId ? BST_CHECKED : BST_UNCHECKED);
        if (control.id == lastId)
            break;
    }
}

void CFrameworkDialog::SelectEditText(int id, int start, int end) {
    auto* edit = qobject_cast<QLineEdit*>(GetDlgItem(id));
    if (edit == nullptr)
        return;
    const int length = static_cast<int>(edit->text().size());
    const int from = qBound(0, start, length);
    const int to = end < 0 ? length : qBound(from, end, length);
    edit->setSelection(from, to - from);
}

void CFrameworkDialog::GotoDlgCtrl(int id) {
    QWidget* item = GetDlgItem(id);
    if (item == nullptr)
        return;
    item->setFocus(Qt::OtherFocusReason);
    SelectEditText(id);
}
