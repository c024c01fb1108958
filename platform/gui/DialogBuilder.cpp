#include "platform/gui/DialogBuilder.h"

#include <QAccessible>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QValidator>

#include "platform/gui/TabControl.h"

namespace {

class CEditValidator : public QValidator {
public:
    CEditValidator(QLineEdit* edit, bool digitsOnly)
        : QValidator(edit), m_digitsOnly(digitsOnly),
          m_acceptedLength(static_cast<int>(edit->text().size())) {
        // By the time a change is validated the edit already holds the new
        // text, so the length before it is tracked here.
        connect(edit, &QLineEdit::textChanged, this,
                [this](const QString& text) { m_acceptedLength = static_cast<int>(text.size()); });
    }

    State validate(QString& input, int&) const override {
        if (m_digitsOnly) {
            for (const QChar c : input) {
                if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                    return Invalid;
            }
        }
        const int length = static_cast<int>(input.size());
        if (m_maxChars > 0 && length > m_maxChars && length > m_acceptedLength)
            return Invalid;
        return Acceptable;
    }

    int m_maxChars = 0;

private:
    bool m_digitsOnly;
    int m_acceptedLength;
};

// Qt's line edit masks a password on screen and in its accessible text, but
// its text-change events still carry the characters typed, and the bridge
// hands them to every listening client. The events of masked edits are
// passed on with the text masked as the edit shows it.
QAccessible::UpdateHandler g_nextUpdateHandler = nullptr;

bool IsMaskedEdit(QObject* object) {
    const auto* edit = qobject_cast<const QLineEdit*>(object);
    return edit != nullptr && edit->echoMode() != QLineEdit::Normal;
}

QString Masked(QObject* object, const QString& text) {
    const auto* edit = static_cast<const QLineEdit*>(object);
    if (edit->echoMode() == QLineEdit::NoEcho)
        return QString();
    const int mask = edit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, edit);
    return QString(text.size(), QChar(mask));
}

void GuardMaskedEditEvents(QAccessibleEvent* event);

void PassOn(QAccessibleEvent* event) {
    if (g_nextUpdateHandler != nullptr) {
        g_nextUpdateHandler(event);
        return;
    }
    // Without a handler the event goes to the platform's bridge.
    QAccessible::installUpdateHandler(nullptr);
    QAccessible::updateAccessibility(event);
    QAccessible::installUpdateHandler(&GuardMaskedEditEvents);
}

void GuardMaskedEditEvents(QAccessibleEvent* event) {
    QObject* object = event->object();
    if (object == nullptr || !IsMaskedEdit(object)) {
        PassOn(event);
        return;
    }
    switch (event->type()) {
    case QAccessible::TextInserted: {
        const auto* inserted = static_cast<QAccessibleTextInsertEvent*>(event);
        QAccessibleTextInsertEvent masked(object, inserted->changePosition(),
                                          Masked(object, inserted->textInserted()));
        PassOn(&masked);
        return;
    }
    case QAccessible::TextRemoved: {
        const auto* removed = static_cast<QAccessibleTextRemoveEvent*>(event);
        QAccessibleTextRemoveEvent masked(object, removed->changePosition(),
                                          Masked(object, removed->textRemoved()));
        PassOn(&masked);
        return;
    }
    case QAccessible::TextUpdated: {
        const auto* updated = static_cast<QAccessibleTextUpdateEvent*>(event);
        QAccessibleTextUpdateEvent masked(object, updated->changePosition(),
                                          Masked(object, updated->textRemoved()),
                                          Masked(object, updated->textInserted()));
        PassOn(&masked);
        return;
    }
    case QAccessible::ValueChanged:
        // A line edit has no value of its own beyond its text.
        return;
    default:
        PassOn(event);
        return;
    }
}

// Put in front of whatever handler is there when the first masked edit is
// made (a test's recorder, or none).
void GuardMaskedEdits() {
    const QAccessible::UpdateHandler previous =
        QAccessible::installUpdateHandler(&GuardMaskedEditEvents);
    if (previous != &GuardMaskedEditEvents)
        g_nextUpdateHandler = previous;
}

CEditValidator* EditValidator(const QLineEdit* edit) {
    return const_cast<CEditValidator*>(dynamic_cast<const CEditValidator*>(edit->validator()));
}

Qt::Alignment TextAlignment(uint32_t style) {
    if ((style & CTL_RIGHT) != 0)
        return Qt::AlignRight;
    if ((style & CTL_CENTER) != 0)
        return Qt::AlignHCenter;
    return Qt::AlignLeft;
}

// A label one line high is centred on its line: text set in a fallback font
// (Japanese in a Latin dialog font) has a taller line than the dialog font,
// and would otherwise sit lower than the edit beside it.
bool IsSingleLine(const CControlTemplate& control) {
    return control.rect.height() <= 12;
}

QWidget* CreateWidget(const CControlTemplate& control, QWidget* surface) {
    switch (control.kind) {
    case ControlKind::Label: {
        auto* label = new QLabel(control.text, surface);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(TextAlignment(control.style) |
                            (IsSingleLine(control) ? Qt::AlignVCenter : Qt::AlignTop));
        label->setWordWrap((control.style & CTL_NOWRAP) == 0);
        return label;
    }
    case ControlKind::Edit: {
        auto* edit = new QLineEdit(control.text, surface);
        edit->setAlignment(TextAlignment(control.style) | Qt::AlignVCenter);
        if ((control.style & CTL_PASSWORD) != 0) {
            GuardMaskedEdits();
            edit->setEchoMode(QLineEdit::Password);
        }
        if ((control.style & CTL_READONLY) != 0)
            edit->setReadOnly(true);
        edit->setValidator(new CEditValidator(edit, (control.style & CTL_NUMBER) != 0));
        return edit;
    }
    case ControlKind::PushButton: {
        auto* button = new QPushButton(control.text, surface);
        button->setDefault((control.style & CTL_DEFAULT) != 0);
        return button;
    }
    case ControlKind::CheckBox:
        return new QCheckBox(control.text, surface);
    case ControlKind::RadioButton: {
        // Exclusivity comes from the template's groups: a button in a group
        // follows its group, not its siblings. It stays auto-exclusive, as
        // that is what makes Qt present it as a radio button to clients.
        return new QRadioButton(control.text, surface);
    }
    case ControlKind::GroupBox:
        return new QGroupBox(control.text, surface);
    case ControlKind::Tab:
        return new CTabControl(surface);
    }
    return nullptr;
}

bool TakesFocus(ControlKind kind) {
    return kind != ControlKind::Label && kind != ControlKind::GroupBox;
}

// "&Browse" shows as "Browse" with an underlined B; "&&" is a literal "&".
QString WithoutMnemonic(const QString& text) {
    QString plain;
    plain.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&')) {
            if (i + 1 >= text.size())
                break;
            ++i;
        }
        plain.append(text[i]);
    }
    return plain;
}

QString WithoutTrailingColon(QString text) {
    text = text.trimmed();
    while (text.endsWith(QLatin1Char(':')) || text.endsWith(QChar(0xFF1A)))
        text.chop(1);
    return text.trimmed();
}

bool IsEditLabel(const CDialogTemplate& dialog, std::size_t index) {
    return index + 1 < dialog.controls.size() &&
           dialog.controls[index].kind == ControlKind::Label &&
           dialog.controls[index + 1].kind == ControlKind::Edit;
}

// A label that follows an edit on the same line qualifies the edit's value.
bool IsUnitLabel(const CDialogTemplate& dialog, std::size_t index) {
    if (index == 0 || dialog.controls[index].kind != ControlKind::Label)
        return false;
    const CControlTemplate& edit = dialog.controls[index - 1];
    const QRect& unit = dialog.controls[index].rect;
    return edit.kind == ControlKind::Edit && unit.top() <= edit.rect.bottom() &&
           edit.rect.top() <= unit.bottom() && unit.left() >= edit.rect.right();
}

// The innermost group box whose rectangle holds the control; -1 for none.
int GroupBoxOf(const CDialogTemplate& dialog, std::size_t index) {
    int found = -1;
    const QRect& rect = dialog.controls[index].rect;
    for (std::size_t i = 0; i < dialog.controls.size(); ++i) {
        const CControlTemplate& box = dialog.controls[i];
        if (i == index || box.kind != ControlKind::GroupBox || !box.rect.contains(rect))
            continue;
        if (found < 0 || dialog.controls[static_cast<std::size_t>(found)].rect.contains(box.rect))
            found = static_cast<int>(i);
    }
    return found;
}

// The controls whose name another control has too; an edit shares its
// label's name by design and is told apart by its role.
std::vector<std::size_t> Duplicates(const CDialogTemplate& dialog,
                                    const std::vector<QString>& names) {
    auto labelAndEdit = [&](std::size_t a, std::size_t b) {
        return (b == a + 1 && IsEditLabel(dialog, a)) || (a == b + 1 && IsEditLabel(dialog, b));
    };
    std::vector<std::size_t> alike;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i].isEmpty())
            continue;
        for (std::size_t j = 0; j < names.size(); ++j) {
            if (i != j && names[i] == names[j] && !labelAndEdit(i, j)) {
                alike.push_back(i);
                break;
            }
        }
    }
    return alike;
}

// The name before any telling apart.
QString NaturalName(const CDialogTemplate& dialog, std::size_t index) {
    const CControlTemplate& control = dialog.controls[index];
    if (control.kind == ControlKind::Edit)
        return index > 0 && IsEditLabel(dialog, index - 1)
                   ? WithoutMnemonic(dialog.controls[index - 1].text).trimmed()
                   : QString();
    if (control.kind == ControlKind::Tab)
        return QString();
    return WithoutMnemonic(control.text).trimmed();
}

} // namespace

std::vector<QString> ControlAccessibleNames(const CDialogTemplate& dialog) {
    const std::size_t count = dialog.controls.size();
    std::vector<QString> names(count);
    for (std::size_t i = 0; i < count; ++i)
        names[i] = NaturalName(dialog, i);
    // Units come after edits in template order, so the edit is named by then.
    for (std::size_t i = 0; i < count; ++i) {
        if (IsUnitLabel(dialog, i) && !names[i - 1].isEmpty() && !names[i].isEmpty())
            names[i] = names[i - 1] + QLatin1Char(' ') + names[i];
    }
    for (std::size_t i : Duplicates(dialog, names)) {
        const int box = GroupBoxOf(dialog, i);
        if (box < 0)
            continue;
        const QString caption = WithoutTrailingColon(
            WithoutMnemonic(dialog.controls[static_cast<std::size_t>(box)].text));
        if (!caption.isEmpty())
            names[i] = caption + QStringLiteral(": ") + names[i];
    }
    const std::vector<QString> alike = names;
    for (std::size_t i : Duplicates(dialog, alike)) {
        // An edit and its label take the same number.
        int seen = 1;
        for (std::size_t j = 0; j < i; ++j) {
            const bool labelled = j > 0 && IsEditLabel(dialog, j - 1);
            const bool ownLabel = j + 1 == i && IsEditLabel(dialog, j);
            seen += alike[j] == alike[i] && !labelled && !ownLabel ? 1 : 0;
        }
        if (seen > 1)
            names[i] += QStringLiteral(" (%1)").arg(seen);
    }
    return names;
}

QWidget* CDialogControls::Find(int id) const {
    const CBuiltControl* entry = Entry(id);
    return entry != nullptr ? entry->widget : nullptr;
}

const CBuiltControl* CDialogControls::Entry(int id) const {
    if (id == IDC_STATIC)
        return nullptr;
    for (const CBuiltControl& control : m_controls) {
        if (control.id == id)
            return &control;
    }
    return nullptr;
}

std::vector<const CBuiltControl*> CDialogControls::RadioGroupOf(int id) const {
    std::vector<const CBuiltControl*> members;
    const CBuiltControl* entry = Entry(id);
    if (entry == nullptr || entry->radioGroup == nullptr)
        return members;
    for (const CBuiltControl& control : m_controls) {
        if (control.radioGroup == entry->radioGroup)
            members.push_back(&control);
    }
    return members;
}

CDialogControls BuildDialogControls(const CDialogTemplate& dialog, QWidget* surface) {
    CDialogControls result;
    const QFont font = DialogFont(dialog);
    surface->setFont(font);
    result.m_base = DialogBaseUnits(font);
    surface->setFixedSize(DialogUnitsToPixelsX(dialog.width, result.m_base),
                          DialogUnitsToPixelsY(dialog.height, result.m_base));

    const std::vector<QString> names = ControlAccessibleNames(dialog);
    QButtonGroup* group = nullptr;
    QWidget* previousFocus = nullptr;
    for (const CControlTemplate& control : dialog.controls) {
        CBuiltControl built;
        built.id = control.id;
        built.kind = control.kind;
        built.style = control.style;
        built.widget = CreateWidget(control, surface);
        built.widget->setGeometry(MapDialogRect(control.rect, result.m_base));
        built.widget->setProperty("controlId", control.id);
        if (control.id != IDC_STATIC)
            built.widget->setObjectName(QString::number(control.id));
        // Where the name is the one Qt derives anyway (a control's text, an
        // edit's buddy), it is left to Qt, so that it follows a text the
        // program sets later (a label showing a value).
        const QString& name = names[result.m_controls.size()];
        if (!name.isEmpty() && name != NaturalName(dialog, result.m_controls.size()))
            built.widget->setAccessibleName(name);
        if ((control.style & CTL_DISABLED) != 0)
            built.widget->setEnabled(false);
        if ((control.style & CTL_HIDDEN) != 0)
            built.widget->setHidden(true);

        if ((control.style & CTL_GROUP) != 0)
            group = nullptr;
        if (control.kind == ControlKind::RadioButton) {
            if (group == nullptr) {
                group = new QButtonGroup(surface);
                group->setExclusive(true);
            }
            group->addButton(static_cast<QAbstractButton*>(built.widget), control.id);
            built.radioGroup = group;
        }

        if (TakesFocus(control.kind)) {
            // Controls without a tab stop still take the focus when clicked.
            const bool tabStop =
                (control.style & CTL_TABSTOP) != 0 || control.kind == ControlKind::RadioButton;
            built.widget->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
            if (previousFocus != nullptr)
                QWidget::setTabOrder(previousFocus, built.widget);
            previousFocus = built.widget;
        } else {
            built.widget->setFocusPolicy(Qt::NoFocus);
        }
        result.m_controls.push_back(built);
    }
    for (std::size_t i = 0; i < result.m_controls.size(); ++i) {
        const CBuiltControl& control = result.m_controls[i];
        // Group boxes are frames around other controls; drawn last, they
        // would cover them and take their clicks.
        if (control.kind == ControlKind::GroupBox)
            control.widget->lower();
        // The buddy is what a screen reader offers as the edit's label.
        if (IsEditLabel(dialog, i))
            static_cast<QLabel*>(control.widget)->setBuddy(result.m_controls[i + 1].widget);
        if (IsUnitLabel(dialog, i))
            result.m_controls[i - 1].widget->setAccessibleDescription(
                WithoutMnemonic(dialog.controls[i].text).trimmed());
    }
    return result;
}

void SetEditTextLimit(QLineEdit* edit, int maxChars) {
    CEditValidator* validator = EditValidator(edit);
    if (validator == nullptr) {
        validator = new CEditValidator(edit, false);
        edit->setValidator(validator);
    }
    validator->m_maxChars = maxChars > 0 ? maxChars : 0;
}

int EditTextLimit(const QLineEdit* edit) {
    const CEditValidator* validator = EditValidator(edit);
    return validator != nullptr ? validator->m_maxChars : 0;
}
