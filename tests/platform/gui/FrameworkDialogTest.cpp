// The dialog framework: control access by id, data exchange with limits and
// integers, and the modal run.

#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <gtest/gtest.h>

#include "platform/gui/FrameworkDialog.h"
#include "platform/gui/ResourceLookup.h"
#include "platform/gui/ResourceModule.h"

namespace {

CDialogTemplate TestTemplate() {
    CDialogTemplate dialog;
    QString why;
    EXPECT_TRUE(ParseDialogTemplate(R"(<dialog id="900" caption="Test" width="200" height="100">
        <control id="10" kind="edit" x="5" y="5" width="100" height="12" style="tabstop group"/>
        <control id="11" kind="edit" x="5" y="20" width="100" height="12" style="tabstop"/>
        <control id="12" kind="checkbox" x="5" y="35" width="100" height="10" text="Check" style="tabstop"/>
        <control id="13" kind="radio" x="5" y="50" width="40" height="10" text="A" style="tabstop group"/>
        <control id="14" kind="radio" x="50" y="50" width="40" height="10" text="B"/>
        <control id="15" kind="label" x="5" y="65" width="100" height="8" text="Label" style="group"/>
        <control id="1" kind="button" x="90" y="80" width="50" height="14" text="OK" style="default tabstop"/>
        <control id="2" kind="button" x="145" y="80" width="50" height="14" text="Cancel" style="tabstop"/>
      </dialog>)",
                                    dialog, &why))
        << why.toStdString();
    return dialog;
}

class CTestDialog : public CFrameworkDialog {
public:
    CTestDialog() : CFrameworkDialog(TestTemplate()) {}

    std::u16string m_text = u"start";
    int32_t m_number = 5;
    int m_check = 0;
    int m_radio = -1;
    int m_initCalls = 0;

protected:
    bool OnInitDialog() override {
        ++m_initCalls;
        return CFrameworkDialog::OnInitDialog();
    }
    void DoDataExchange(CDataExchange* dx) override {
        DDX_Text(dx, 10, m_text);
        DDV_MaxChars(dx, m_text, 8);
        DDX_Text(dx, 11, m_number);
        DDX_Check(dx, 12, m_check);
        DDX_Radio(dx, 13, m_radio);
    }
};

class FrameworkDialogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dialog.CreateModeless()); }
    void TearDown() override { CResourceLookup::SetResourceModule(nullptr); }
    QLineEdit* Edit(int id) { return qobject_cast<QLineEdit*>(m_dialog.GetDlgItem(id)); }

    CMessageBoxRecorder m_boxes;
    CTestDialog m_dialog;
};

TEST_F(FrameworkDialogTest, InitialisationLoadsMembersIntoControls) {
    EXPECT_EQ(m_dialog.m_initCalls, 1);
    EXPECT_EQ(m_dialog.GetDlgItemText(10), u"start");
    EXPECT_EQ(m_dialog.GetDlgItemText(11), u"5");
    EXPECT_EQ(m_dialog.IsDlgButtonChecked(12), BST_UNCHECKED);
    EXPECT_EQ(EditTextLimit(Edit(10)), 8);
    EXPECT_EQ(m_dialog.windowTitle(), QStringLiteral("Test"));
}

TEST_F(FrameworkDialogTest, ControlAccessById) {
    m_dialog.SetDlgItemText(15, u"New label");
    EXPECT_EQ(m_dialog.GetDlgItemText(15), u"New label");
    m_dialog.SetDlgItemText(1, u"Fine");
    EXPECT_EQ(m_dialog.GetDlgItemText(1), u"Fine");
    EXPECT_EQ(m_dialog.GetDlgItemText(999), u"");

    m_dialog.EnableDlgItem(11, false);
    EXPECT_FALSE(m_dialog.IsDlgItemEnabled(11));
    m_dialog.EnableDlgItem(11, true);
    EXPECT_TRUE(m_dialog.IsDlgItemEnabled(11));

    m_dialog.CheckDlgButton(12, BST_CHECKED);
    EXPECT_EQ(m_dialog.IsDlgButtonChecked(12), BST_CHECKED);
    m_dialog.CheckRadioButton(13, 14, 14);
    EXPECT_EQ(m_dialog.IsDlgButtonChecked(14), BST_CHECKED);
    EXPECT_EQ(m_dialog.IsDlgButtonChecked(13), BST_UNCHECKED);
    m_dialog.CheckDlgButton(14, BST_UNCHECKED); // even the last checked radio button
    EXPECT_EQ(m_dialog.IsDlgButtonChecked(14), BST_UNCHECKED);

    m_dialog.SetDlgItemText(10, u"abcdef");
    m_dialog.SelectEditText(10, 1, 4);
    EXPECT_EQ(Edit(10)->selectedText(), QStringLiteral("bcd"));
    m_dialog.SelectEditText(10);
    EXPECT_EQ(Edit(10)->selectedText(), QStringLiteral("abcdef"));
    m_dialog.SelectEditText(10, 4, 99);
    EXPECT_EQ(Edit(10)->selectedText(), QStringLiteral("ef"));
}

TEST_F(FrameworkDialogTest, ExchangeRefusesATextOverItsLimit) {
    const struct {
        std::u16string text;
        bool accepted;
    } cases[] = {
        {u"", true},
        {u"12345678", true},
        {u"123456789", false},
        {u"日本語のテキスト", true},    // eight characters
        {u"日本語のテキストだ", false}, // nine
        {u"\U0001D11E\U0001D11E\U0001D11E\U0001D11E\U0001D11E\U0001D11E\U0001D11E\U0001D11E", true},
    };
    for (const auto& c : cases) {
        m_boxes.Clear();
        m_dialog.m_text = u"before";
        m_dialog.SetDlgItemText(10, c.text);
        EXPECT_EQ(m_dialog.UpdateData(true), c.accepted)
            << QString::fromStdU16String(c.text).toStdString();
        if (c.accepted) {
            EXPECT_EQ(m_dialog.m_text, c.text);
            EXPECT_TRUE(m_boxes.Records().empty());
            continue;
        }
        ASSERT_EQ(m_boxes.Records().size(), 1u);
        const CMessageBoxRecorder::Record& box = m_boxes.Records()[0];
        EXPECT_EQ(box.text, u"Enter no more than 8 characters.");
        EXPECT_EQ(box.caption, u"Kestrel Agent Setting Tool");
        EXPECT_EQ(box.owner, &m_dialog);
        EXPECT_EQ(box.icon, MessageIcon::Warning);
        EXPECT_TRUE(box.topmost);
        // The exchange stopped at the edit: its text is selected, later
        // members are untouched.
        EXPECT_EQ(Edit(10)->selectedText(), QString::fromStdU16String(c.text));
        EXPECT_EQ(m_dialog.m_number, 5);
    }
}

TEST_F(FrameworkDialogTest, FrameworkMessagesComeInTheSelectedLanguage) {
    const auto japanese = CResourceModule::LoadLibraryFile(OPAL_LEXIDRA);
    ASSERT_TRUE(japanese);
    CResourceLookup::SetResourceModule(japanese.get());
    m_dialog.SetDlgItemText(10, u"123456789");
    EXPECT_FALSE(m_dialog.UpdateData(true));
    ASSERT_EQ(m_boxes.Records().size(), 1u);
    EXPECT_EQ(m_boxes.Records()[0].text, u"8 文字以内で入力してください。");
}

TEST_F(FrameworkDialogTest, IntegerExchange) {
    const struct {
        const char16_t* text;
        std::optional<int32_t> value;
    } cases[] = {
        {u"42", 42},
        {u"  42 ", 42},
        {u"-7", -7},
        {u"+3", 3},
        {u"2147483647", 2147483647},
        {u"2147483648", std::nullopt},
        {u"4x", std::nullopt},
        {u"", std::nullopt},
        {u"4 2", std::nullopt},
    };
    for (const auto& c : cases) {
        m_boxes.Clear();
        m_dialog.m_number = 5;
        m_dialog.SetDlgItemText(10, u"ok");
        m_dialog.SetDlgItemText(11, c.text);
        const bool accepted = m_dialog.UpdateData(true);
        EXPECT_EQ(accepted, c.value.has_value()) << QString::fromStdU16String(c.text).toStdString();
        EXPECT_EQ(m_dialog.m_number, c.value.value_or(5));
        if (!c.value) {
            ASSERT_EQ(m_boxes.Records().size(), 1u);
            EXPECT_EQ(m_boxes.Records()[0].text, u"Enter an integer.");
        }
    }
}

TEST_F(FrameworkDialogTest, CheckAndRadioExchange) {
    m_dialog.m_check = 1;
    m_dialog.m_radio = 1;
    ASSERT_TRUE(m_dialog.UpdateData(false));
    EXPECT_EQ(m_dialog.IsDlgButtonChecked(12), BST_CHECKED);
    EXPECT_EQ(m_dialog.IsDlgButtonChecked(14), BST_CHECKED);
    m_dialog.m_radio = -1; // none: the checked button is cleared
    ASSERT_TRUE(m_dialog.UpdateData(false));
    EXPECT_EQ(m_dialog.IsDlgButtonChecked(14), BST_UNCHECKED);

    m_dialog.CheckDlgButton(12, BST_UNCHECKED);
    m_dialog.CheckDlgButton(13, BST_CHECKED);
    ASSERT_TRUE(m_dialog.UpdateData(true));
    EXPECT_EQ(m_dialog.m_check, 0);
    EXPECT_EQ(m_dialog.m_radio, 0);
}

// Presses a button once the modal loop runs.
void ClickLater(CFrameworkDialog& dialog, int id) {
    QTimer::singleShot(0, &dialog, [&dialog, id]() {
        qobject_cast<QPushButton*>(dialog.GetDlgItem(id))->click();
    });
}

TEST(FrameworkDialogModalTest, ModalRunAnswersOkOrCancel) {
    CMessageBoxRecorder boxes;
    {
        CTestDialog dialog;
        ClickLater(dialog, IDOK);
        EXPECT_EQ(dialog.DoModal(), IDOK);
        EXPECT_EQ(dialog.m_initCalls, 1);
    }
    {
        CTestDialog dialog;
        ClickLater(dialog, IDCANCEL);
        EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    }
    {
        // OK with a refused text keeps the dialog open; Cancel then ends it.
        CTestDialog dialog;
        dialog.m_text = u"far too long for eight";
        ClickLater(dialog, IDOK);
        ClickLater(dialog, IDCANCEL);
        EXPECT_EQ(dialog.DoModal(), IDCANCEL);
        EXPECT_EQ(boxes.Records().size(), 1u);
        EXPECT_EQ(dialog.m_text, u"far too long for eight");
    }
    {
        CTestDialog dialog;
        QTimer::singleShot(0, &dialog, [&dialog]() { dialog.close(); });
        EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    }
    CFrameworkDialog missing(4711u);
    EXPECT_EQ(missing.DoModal(), -1);
}

TEST(FrameworkDialogModalTest, PagesAreChildWindowsOfTheirSheet) {
    QWidget sheet;
    CFrameworkDialog page(131u);
    ASSERT_TRUE(page.Create(&sheet));
    EXPECT_EQ(page.parentWidget(), &sheet);
    EXPECT_FALSE(page.isWindow());
    EXPECT_NE(page.GetDlgItem(1003), nullptr);
    CFrameworkDialog missing(4711u);
    EXPECT_FALSE(missing.Create(&sheet));
}

// The HTTPS dialog as the keyboard drives it: the clicks it receives and how
// its modal run ends.
class CKeyboardDialog : public CFrameworkDialog {
public:
    CKeyboardDialog() : CFrameworkDialog(165u) {}
    std::vector<int> m_clicks;

protected:
    void OnClicked(int id) override {
        m_clicks.push_back(id);
        CFrameworkDialog::OnClicked(id);
    }
};

// Sends a key to the control with the focus, as the keyboard would.
void PressKeyLater(CFrameworkDialog& dialog, int focusId, int key) {
    QTimer::singleShot(0, &dialog, [&dialog, focusId, key]() {
        QWidget* target = dialog.GetDlgItem(focusId);
        target->setFocus(Qt::TabFocusReason);
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
        // A key that did not end the run leaves it to Cancel.
        QTimer::singleShot(0, &dialog, [&dialog]() {
            if (dialog.isVisible())
                dialog.EndDialog(-2);
        });
    });
}

TEST(FrameworkDialogModalTest, EnterPressesTheDefaultButtonAndEscapeCancels) {
    struct Case {
        const char* what;
        int focus;
        int key;
        int result;
        std::vector<int> clicks;
    };
    const Case cases[] = {
        {"Enter in an edit: the default button", 1039, Qt::Key_Return, IDOK, {IDOK}},
        {"keypad Enter in an edit", 1039, Qt::Key_Enter, IDOK, {IDOK}},
        {"Enter on a check box: the default button", 1047, Qt::Key_Return, IDOK, {IDOK}},
        {"Enter on another button presses that one", 1038, Qt::Key_Return, -2, {1038}},
        {"Enter on Cancel cancels", IDCANCEL, Qt::Key_Return, IDCANCEL, {IDCANCEL}},
        {"Escape in an edit cancels", 1039, Qt::Key_Escape, IDCANCEL, {}},
        {"Escape on the default button cancels", IDOK, Qt::Key_Escape, IDCANCEL, {}},
    };
    for (const Case& c : cases) {
        CKeyboardDialog dialog;
        PressKeyLater(dialog, c.focus, c.key);
        EXPECT_EQ(dialog.DoModal(), c.result) << c.what;
        EXPECT_EQ(dialog.m_clicks, c.clicks) << c.what;
    }
}

} // namespace
