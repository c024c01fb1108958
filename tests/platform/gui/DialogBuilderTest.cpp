// Templates built into widgets: controls by id, their kinds and flags, radio
// groups, tab order, positions and the names accessibility clients see.

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include <QAccessible>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>
#include <gtest/gtest.h>

#include "platform/gui/DialogBuilder.h"
#include "platform/gui/MessageBox.h"
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
            EXPECT_EQ(widget->objectName(), QString::number(control.id));
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

// ---- accessible names -------------------------------------------------------

// What an accessibility client reads as the widget's name: Qt's own
// derivation (text, buddy) or the name the builder set.
QString ClientName(QWidget* widget) {
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    return accessible != nullptr ? accessible->text(QAccessible::Name) : QString();
}

std::unique_ptr<CResourceModule> Japanese() {
    auto module = CResourceModule::LoadLibraryFile(OPAL_LEXIDRA);
    EXPECT_TRUE(module);
    return module;
}

// A client finds a control by name and role; an edit shares its label's name.
using NameAndRole = std::pair<QString, bool>;
NameAndRole Key(const CBuiltControl& control) {
    return {ClientName(control.widget), control.kind == ControlKind::Edit};
}

TEST(DialogBuilderTest, NamesAreUniqueInEveryWindowInBothLanguages) {
    const auto japanese = Japanese();
    ASSERT_TRUE(japanese);
    for (const CResourceModule* module : {CResourceLookup::ProgramModule(), japanese.get()}) {
        // The sheet's window holds its own controls and both pages.
        const std::vector<std::vector<unsigned>> windows = {{130, 131, 132}, {165}};
        for (const std::vector<unsigned>& window : windows) {
            std::set<NameAndRole> seen;
            std::vector<std::unique_ptr<QWidget>> surfaces;
            for (unsigned id : window) {
                const std::optional<CDialogTemplate> dialog = module->LoadDialog(id);
                ASSERT_TRUE(dialog) << id;
                surfaces.push_back(std::make_unique<QWidget>());
                const CDialogControls controls =
                    BuildDialogControls(*dialog, surfaces.back().get());
                for (const CBuiltControl& control : controls.All()) {
                    // The sheet's banner area is an empty, hidden label.
                    if (control.kind == ControlKind::Tab || (control.style & CTL_HIDDEN) != 0)
                        continue;
                    const NameAndRole key = Key(control);
                    EXPECT_FALSE(key.first.isEmpty()) << id << " control " << control.id;
                    EXPECT_TRUE(seen.insert(key).second)
                        << id << " control " << control.id
                        << " reads like another: " << key.first.toStdString();
                }
            }
        }
    }
}

TEST(DialogBuilderTest, ClientNamesOfTheRealTemplates) {
    struct Case {
        unsigned dialog;
        int control;
        const char* english;
    };
    const Case cases[] = {
        // An edit takes the label before it.
        {131, 1003, "Server address:"},
        {131, 1004, "Server port:"},
        {131, 1006, "Proxy address:"},
        {132, 1021, "Retry after (30 - 3600):"},
        {132, 1023, "Timeout after (300 - 3600):"},
        {165, 1039, "Root CA certificate path:"},
        {165, 1041, "File path:"},
        {165, 1042, "Password:"},
        // Controls alike on the page add their group box's caption.
        {131, 1036, "Kestrel server: HTTP"},
        {131, 1051, "Proxy server: HTTP"},
        {131, 1048, "Kestrel server: User authentication"},
        {131, 1065, "Proxy server: User authentication"},
        {131, 1049, "Kestrel server: User name:"},
        {131, 1009, "Proxy server: User name:"},
        {131, 1050, "Kestrel server: Password:"},
        {131, 1010, "Proxy server: Password:"},
        {131, 1061, "Kestrel server: Basic"},
        {131, 1062, "Kestrel server: Digest"},
        {131, 1063, "Kestrel server: NTLM"},
        {131, 1058, "Proxy server: Basic"},
        {131, 1059, "Proxy server: Digest"},
        {131, 1060, "Proxy server: NTLM"},
        // The Browse button outside the group has none to add.
        {165, 1038, "Browse..."},
        {165, 1043, "Client certificate: Browse..."},
        // Controls unlike any other keep their text.
        {131, 1037, "HTTPS"},
        {131, 1005, "Proxy server settings"},
        {130, 1034, "Test Connection"},
        {130, IDOK, "OK"},
        {165, IDCANCEL, "Cancel"},
        {132, 1057, "Plug-in Option..."},
        {132, 1066, "Enabled"},
    };
    std::map<unsigned, std::pair<std::unique_ptr<QWidget>, CDialogControls>> built;
    for (const Case& c : cases) {
        auto& [surface, controls] = built[c.dialog];
        if (!surface) {
            surface = std::make_unique<QWidget>();
            controls = BuildDialogControls(ProgramDialog(c.dialog), surface.get());
        }
        QWidget* widget = controls.Find(c.control);
        ASSERT_NE(widget, nullptr) << c.control;
        EXPECT_EQ(ClientName(widget).toStdString(), c.english)
            << c.dialog << " control " << c.control;
    }
}

TEST(DialogBuilderTest, UnitLabelsAreNamedAfterTheirEditAndDescribeIt) {
    QWidget surface;
    const CDialogTemplate dialog = ProgramDialog(132);
    const CDialogControls controls = BuildDialogControls(dialog, &surface);
    std::vector<std::string> units;
    for (std::size_t i = 0; i < dialog.controls.size(); ++i) {
        const QString text = dialog.controls[i].text;
        if (text == QStringLiteral("seconds") || text == QStringLiteral("KB"))
            units.push_back(ClientName(controls.All()[i].widget).toStdString());
    }
    EXPECT_EQ(units,
              (std::vector<std::string>{
                  "Maximum log upload interval: seconds", "Maximum upload log size: KB",
                  "Receive command every: seconds", "Retry after (30 - 3600): seconds",
                  "Timeout after (300 - 3600): seconds", "Check product version every: seconds"}));
    QAccessibleInterface* retry = QAccessible::queryAccessibleInterface(controls.Find(1021));
    EXPECT_EQ(retry->text(QAccessible::Description), QStringLiteral("seconds"));
}

TEST(DialogBuilderTest, JapaneseNamesAddTheJapaneseCaptions) {
    const auto japanese = Japanese();
    ASSERT_TRUE(japanese);
    const std::optional<CDialogTemplate> general = japanese->LoadDialog(131);
    ASSERT_TRUE(general);
    QWidget surface;
    const CDialogControls controls = BuildDialogControls(*general, &surface);
    EXPECT_EQ(ClientName(controls.Find(1036)), QStringLiteral("Kestrel サーバー: HTTP"));
    EXPECT_EQ(ClientName(controls.Find(1051)), QStringLiteral("プロキシ サーバー: HTTP"));
    EXPECT_EQ(ClientName(controls.Find(1003)), QStringLiteral("サーバー アドレス:"));
}

TEST(DialogBuilderTest, NamingRulesOnMadeUpTemplates) {
    struct Case {
        const char* what;
        const char* controls; // the body of a <dialog>
        std::vector<QString> names;
    };
    const Case cases[] = {
        {"mnemonic markers are not read; a doubled one is a character",
         R"(<control kind="button" x="0" y="0" width="40" height="14" text="&amp;Browse..."/>
            <control kind="checkbox" x="0" y="20" width="40" height="10" text="Save &amp;&amp; close"/>)",
         {"Browse...", "Save & close"}},
        {"an edit with no label before it has no name",
         R"(<control kind="button" x="0" y="0" width="40" height="14" text="Go"/>
            <control kind="edit" x="0" y="20" width="40" height="12"/>)",
         {"Go", ""}},
        {"the innermost group box gives its caption, without its colon",
         R"(<control kind="groupbox" x="0" y="0" width="200" height="100" text="Outer"/>
            <control kind="groupbox" x="10" y="10" width="80" height="40" text="Inner:"/>
            <control kind="radio" x="20" y="20" width="40" height="10" text="On"/>
            <control kind="radio" x="20" y="60" width="40" height="10" text="On"/>)",
         {"Outer", "Inner:", "Inner: On", "Outer: On"}},
        {"a control partly outside a box does not belong to it",
         R"(<control kind="groupbox" x="0" y="0" width="100" height="30" text="Box"/>
            <control kind="checkbox" x="10" y="20" width="40" height="20" text="Same"/>
            <control kind="checkbox" x="10" y="50" width="40" height="10" text="Same"/>)",
         {"Box", "Same", "Same (2)"}},
        {"alike within one box: numbered from the second, an edit with its label",
         R"(<control kind="label" x="0" y="0" width="40" height="8" text="Name:"/>
            <control kind="edit" x="50" y="0" width="40" height="12"/>
            <control kind="label" x="0" y="20" width="40" height="8" text="Name:"/>
            <control kind="edit" x="50" y="20" width="40" height="12"/>
            <control kind="label" x="0" y="40" width="40" height="8" text="Name:"/>
            <control kind="edit" x="50" y="40" width="40" height="12"/>)",
         {"Name:", "Name:", "Name: (2)", "Name: (2)", "Name: (3)", "Name: (3)"}},
        {"a unit label only on the edit's own line",
         R"(<control kind="label" x="0" y="0" width="40" height="8" text="Wait:"/>
            <control kind="edit" x="50" y="0" width="40" height="12"/>
            <control kind="label" x="95" y="2" width="30" height="8" text="seconds"/>
            <control kind="label" x="0" y="20" width="40" height="8" text="Delay:"/>
            <control kind="edit" x="50" y="20" width="40" height="12"/>
            <control kind="label" x="0" y="40" width="30" height="8" text="Note"/>)",
         {"Wait:", "Wait:", "Wait: seconds", "Delay:", "Delay:", "Note"}},
    };
    for (const Case& c : cases) {
        QByteArray xml = QByteArray(R"(<dialog id="900" caption="T" width="300" height="200">)") +
                         c.controls + "</dialog>";
        xml.replace("<control ", R"(<control id="-1" )");
        CDialogTemplate dialog;
        QString why;
        ASSERT_TRUE(ParseDialogTemplate(xml, dialog, &why)) << c.what << ": " << why.toStdString();
        EXPECT_EQ(ControlAccessibleNames(dialog), c.names) << c.what;
    }
}

TEST(DialogBuilderTest, PasswordEditsNeverGiveTheirTextToClients) {
    QWidget general, https;
    const CDialogControls g = BuildDialogControls(ProgramDialog(131), &general);
    const CDialogControls h = BuildDialogControls(ProgramDialog(165), &https);
    for (QWidget* widget : {g.Find(1050), g.Find(1010), h.Find(1042)}) {
        auto* edit = qobject_cast<QLineEdit*>(widget);
        edit->setText(QStringLiteral("s3cret"));
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(edit);
        EXPECT_TRUE(accessible->state().passwordEdit) << edit->objectName().toStdString();
        EXPECT_FALSE(accessible->text(QAccessible::Value).contains(QStringLiteral("s3cret")));
        QAccessibleTextInterface* text = accessible->textInterface();
        ASSERT_NE(text, nullptr);
        EXPECT_FALSE(text->text(0, text->characterCount()).contains(QStringLiteral("s3cret")));
    }
    // The same test on an ordinary edit shows that the check can fail.
    auto* address = qobject_cast<QLineEdit*>(g.Find(1003));
    address->setText(QStringLiteral("s3cret"));
    QAccessibleTextInterface* text =
        QAccessible::queryAccessibleInterface(address)->textInterface();
    EXPECT_EQ(text->text(0, text->characterCount()), QStringLiteral("s3cret"));
}

} // namespace
