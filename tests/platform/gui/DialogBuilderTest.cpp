// Templates built into widgets: controls by id, their kinds and flags, radio
// groups, tab order and positions.

#include <algorithm>
#include <optional>
#include <vector>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>
#include <gtest/gtest.h>

#include "platform/gui/DialogBuilder.h"
#include "platform/gui/ResourceLookup.h"
#include "platform/gui/ResourceModule.h"
#include "platform/gui/TabControl.h"

namespace {

CDialogTemplate ProgramDialog(unsigned id) {
    std::optional<CDialogTemplate> dialog = CResourceLookup::ProgramModule()->LoadDialog(id);
    EXPECT_TRUE(dialog) << id;
    return dialog.value_or(CDialogTemplate{});
}

// The control ids met when walking the focus chain from the first control.
std::vector<int> FocusOrder(const CDialogControls& controls) {
    std::vector<QWidget*> focusable;
    for (const CBuiltControl& control : controls.All()) {
        if (control.widget->focusPolicy() != Qt::NoFocus)
            focusable.push_back(control.widget);
    }
    std::vector<int> order;
    if (focusable.empty())
        return order;
    QWidget* widget = focusable.front();
    for (std::size_t i = 0; i < focusable.size(); ++i) {
        order.push_back(widget->property("controlId").toInt());
        do {
            widget = widget->nextInFocusChain();
        } while (std::find(focusable.begin(), focusable.end(), widget) == focusable.end());
    }
    return order;
}

std::vector<int> TemplateFocusOrder(const CDialogTemplate& dialog) {
    std::vector<int> order;
    for (const CControlTemplate& control : dialog.controls) {
        if (control.kind != ControlKind::Label && control.kind != ControlKind::GroupBox)
            order.push_back(control.id);
    }
    return order;
}

TEST(DialogBuilderTest, EveryControlIsFoundByIdAsItsKind) {
    for (unsigned id : {130u, 131u, 132u, 165u}) {
        const CDialogTemplate dialog = ProgramDialog(id);
        QWidget surface;
        const CDialogControls controls = BuildDialogControls(dialog, &surface);
        for (const CControlTemplate& control : dialog.controls) {
            if (control.id == IDC_STATIC)
                continue;
            QWidget* widget = controls.Find(control.id);
            ASSERT_NE(widget, nullptr) << id << " control " << control.id;
            EXPECT_EQ(widget->parentWidget(), &surface);
            EXPECT_EQ(widget->objectName(), QStringLiteral("ctl%1").arg(control.id));
            switch (control.kind) {
            case ControlKind::Label:
                EXPECT_TRUE(qobject_cast<QLabel*>(widget)) << control.id;
                break;
            case ControlKind::Edit:
                EXPECT_TRUE(qobject_cast<QLineEdit*>(widget)) << control.id;
                break;
            case ControlKind::PushButton:
                EXPECT_TRUE(qobject_cast<QPushButton*>(widget)) << control.id;
                break;
            case ControlKind::CheckBox:
                EXPECT_TRUE(qobject_cast<QCheckBox*>(widget)) << control.id;
                break;
            case ControlKind::RadioButton:
                EXPECT_TRUE(qobject_cast<QRadioButton*>(widget)) << control.id;
                break;
            case ControlKind::GroupBox:
                EXPECT_TRUE(qobject_cast<QGroupBox*>(widget)) << control.id;
                break;
            case ControlKind::Tab:
                EXPECT_TRUE(qobject_cast<CTabControl*>(widget)) << control.id;
                break;
            }
            EXPECT_EQ(widget->geometry(), MapDialogRect(control.rect, controls.BaseUnits()))
                << id << " control " << control.id;
            EXPECT_EQ(widget->isEnabled(), (control.style & CTL_DISABLED) == 0) << control.id;
            EXPECT_EQ(widget->isHidden(), (control.style & CTL_HIDDEN) != 0) << control.id;
        }
        EXPECT_EQ(controls.Find(IDC_STATIC), nullptr);
        EXPECT_EQ(controls.Find(4242), nullptr);
        EXPECT_EQ(surface.size(), QSize(DialogUnitsToPixelsX(dialog.width, controls.BaseUnits()),
                                        DialogUnitsToPixelsY(dialog.height, controls.BaseUnits())));
    }
}

TEST(DialogBuilderTest, EditsButtonsAndFlags) {
    QWidget general, advanced, sheet, https;
    const CDialogControls g = BuildDialogControls(ProgramDialog(131), &general);
    const CDialogControls a = BuildDialogControls(ProgramDialog(132), &advanced);
    const CDialogControls s = BuildDialogControls(ProgramDialog(130), &sheet);
    const CDialogControls h = BuildDialogControls(ProgramDialog(165), &https);

    for (int id : {1050, 1010})
        EXPECT_EQ(qobject_cast<QLineEdit*>(g.Find(id))->echoMode(), QLineEdit::Password) << id;
    EXPECT_EQ(qobject_cast<QLineEdit*>(h.Find(1042))->echoMode(), QLineEdit::Password);
    EXPECT_EQ(qobject_cast<QLineEdit*>(g.Find(1003))->echoMode(), QLineEdit::Normal);
    for (int id : {1027, 7024, 1028, 1029, 1026})
        EXPECT_TRUE(qobject_cast<QLineEdit*>(a.Find(id))->isReadOnly()) << id;
    for (int id : {1021, 1023})
        EXPECT_FALSE(qobject_cast<QLineEdit*>(a.Find(id))->isReadOnly()) << id;

    EXPECT_TRUE(qobject_cast<QPushButton*>(s.Find(1))->isDefault());
    EXPECT_FALSE(qobject_cast<QPushButton*>(s.Find(2))->isDefault());
    EXPECT_TRUE(qobject_cast<QPushButton*>(h.Find(1))->isDefault());
    EXPECT_TRUE(g.Find(1053)->isHidden());
    EXPECT_FALSE(g.Find(1053)->isEnabled());
    EXPECT_FALSE(g.Find(1040)->isEnabled());
    for (int id : {1041, 1043, 1042})
        EXPECT_FALSE(h.Find(id)->isEnabled()) << id;
}

TEST(DialogBuilderTest, RadioGroupsFollowTheGroupFlags) {
    QWidget page;
    const CDialogControls controls = BuildDialogControls(ProgramDialog(131), &page);
    const std::vector<std::vector<int>> groups = {
        {1036, 1037}, {1061, 1062, 1063}, {1051, 1012, 1011}, {1058, 1059, 1060}};
    for (const std::vector<int>& group : groups) {
        std::vector<int> members;
        for (const CBuiltControl* member : controls.RadioGroupOf(group.front()))
            members.push_back(member->id);
        EXPECT_EQ(members, group);
    }
    auto radio = [&](int id) { return qobject_cast<QRadioButton*>(controls.Find(id)); };
    // One checked button per group, whatever the other groups hold.
    radio(1037)->click();
    radio(1062)->click();
    radio(1012)->click();
    radio(1060)->click();
    for (int id : {1037, 1062, 1012, 1060})
        EXPECT_TRUE(radio(id)->isChecked()) << id;
    radio(1036)->click();
    EXPECT_TRUE(radio(1036)->isChecked());
    EXPECT_FALSE(radio(1037)->isChecked());
    EXPECT_TRUE(radio(1062)->isChecked());
    EXPECT_TRUE(controls.RadioGroupOf(1003).empty());
}

TEST(DialogBuilderTest, TabOrderIsTemplateOrderInBothLanguages) {
    const auto japanese = CResourceModule::LoadLibraryFile(OPAL_LEXIDRA);
    ASSERT_TRUE(japanese);
    for (unsigned id : {130u, 131u, 132u, 165u}) {
        const CDialogTemplate en = ProgramDialog(id);
        const std::optional<CDialogTemplate> ja = japanese->LoadDialog(id);
        ASSERT_TRUE(ja);
        QWidget enSurface, jaSurface;
        const CDialogControls enControls = BuildDialogControls(en, &enSurface);
        const CDialogControls jaControls = BuildDialogControls(*ja, &jaSurface);
        EXPECT_EQ(FocusOrder(enControls), TemplateFocusOrder(en)) << id;
        EXPECT_EQ(FocusOrder(jaControls), FocusOrder(enControls)) << id;
        ASSERT_EQ(enControls.All().size(), jaControls.All().size());
        for (std::size_t i = 0; i < enControls.All().size(); ++i) {
            const CBuiltControl& a = enControls.All()[i];
            const CBuiltControl& b = jaControls.All()[i];
            EXPECT_EQ(a.id, b.id);
            EXPECT_EQ(a.widget->metaObject(), b.widget->metaObject()) << a.id;
            EXPECT_EQ(a.widget->focusPolicy(), b.widget->focusPolicy()) << a.id;
            EXPECT_EQ(a.style, b.style) << a.id;
        }
    }
}

TEST(DialogBuilderTest, EditLimitRefusesTypingButKeepsProgramText) {
    CDialogTemplate dialog;
    dialog.id = 1;
    dialog.width = 100;
    dialog.height = 40;
    CControlTemplate edit;
    edit.id = 10;
    edit.kind = ControlKind::Edit;
    edit.rect = QRect(2, 2, 90, 12);
    dialog.controls.push_back(edit);
    edit.id = 11;
    edit.style = CTL_NUMBER;
    dialog.controls.push_back(edit);
    QWidget surface;
    const CDialogControls controls = BuildDialogControls(dialog, &surface);
    auto* text = qobject_cast<QLineEdit*>(controls.Find(10));
    auto* number = qobject_cast<QLineEdit*>(controls.Find(11));

    SetEditTextLimit(text, 3);
    EXPECT_EQ(EditTextLimit(text), 3);
    text->insert(QStringLiteral("abcd"));
    EXPECT_EQ(text->text(), QStringLiteral("")); // the whole insert is refused
    text->insert(QStringLiteral("abc"));
    EXPECT_EQ(text->text(), QStringLiteral("abc"));
    text->insert(QStringLiteral("d"));
    EXPECT_EQ(text->text(), QStringLiteral("abc"));
    text->setText(QStringLiteral("longer than three")); // the program's text stays whole
    EXPECT_EQ(text->text(), QStringLiteral("longer than three"));
    text->backspace();
    EXPECT_EQ(text->text(), QStringLiteral("longer than thre"));

    number->insert(QStringLiteral("12a"));
    EXPECT_EQ(number->text(), QStringLiteral(""));
    number->insert(QStringLiteral("120"));
    EXPECT_EQ(number->text(), QStringLiteral("120"));
}

} // namespace
