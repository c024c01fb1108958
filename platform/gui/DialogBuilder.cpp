#include "platform/gui/DialogBuilder.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
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
        if ((control.style & CTL_PASSWORD) != 0)
            edit->setEchoMode(QLineEdit::Password);
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
        auto* radio = new QRadioButton(control.text, surface);
        // Exclusivity comes from the template's groups, not from sharing a parent.
        radio->setAutoExclusive(false);
        return radio;
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

} // namespace

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
            built.widget->setObjectName(QStringLiteral("ctl%1").arg(control.id));
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
    // Group boxes are frames around other controls; drawn last, they would
    // cover them and take their clicks.
    for (const CBuiltControl& control : result.m_controls) {
        if (control.kind == ControlKind::GroupBox)
            control.widget->lower();
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
