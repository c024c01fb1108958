// Message boxes and the open-file dialog: what the seams record and answer,
// and how the real ones are set up.

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QWidget>
#include <gtest/gtest.h>

#include "platform/gui/FileDialog.h"
#include "platform/gui/MessageBox.h"

namespace {

TEST(MessageBoxTest, RecorderKeepsEveryBoxAndAnswersInOrder) {
    QWidget owner;
    CMessageBoxRecorder recorder;
    recorder.SetNextAnswer(IDCANCEL);
    const struct {
        QWidget* owner;
        MessageIcon icon;
        bool topmost;
        MessageButtons buttons;
        int answer;
    } cases[] = {
        {&owner, MessageIcon::Warning, true, MessageButtons::OkCancel, IDCANCEL}, // queued
        {nullptr, MessageIcon::Error, true, MessageButtons::Ok, IDOK},
        {nullptr, MessageIcon::Information, false, MessageButtons::YesNo, IDYES},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::u16string text = u"text " + std::u16string(1, static_cast<char16_t>(u'0' + n));
        EXPECT_EQ(ShowMessageBox(c.owner, text, u"Caption", c.icon, c.topmost, c.buttons),
                  c.answer);
        ++n;
    }
    ASSERT_EQ(recorder.Records().size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const CMessageBoxRecorder::Record& record = recorder.Records()[i];
        EXPECT_EQ(record.owner, cases[i].owner);
        EXPECT_EQ(record.hadOwner, cases[i].owner != nullptr);
        EXPECT_EQ(record.icon, cases[i].icon);
        EXPECT_EQ(record.topmost, cases[i].topmost);
        EXPECT_EQ(record.buttons, cases[i].buttons);
        EXPECT_EQ(record.caption, u"Caption");
        EXPECT_EQ(record.text, u"text " + std::u16string(1, static_cast<char16_t>(u'0' + i)));
        EXPECT_EQ(record.answer, cases[i].answer);
    }
}

TEST(MessageBoxTest, InnerRecorderTakesOverAndHandsBack) {
    CMessageBoxRecorder outer;
    {
        CMessageBoxRecorder inner;
        ShowMessageBox(nullptr, u"inner", u"c", MessageIcon::Warning);
        EXPECT_EQ(inner.Records().size(), 1u);
    }
    ShowMessageBox(nullptr, u"outer", u"c", MessageIcon::Warning);
    ASSERT_EQ(outer.Records().size(), 1u);
    EXPECT_EQ(outer.Records()[0].text, u"outer");
}

TEST(MessageBoxTest, RealBoxCarriesTheRequestedLooks) {
    QWidget owner;
    const struct {
        QWidget* owner;
        MessageIcon icon;
        QMessageBox::Icon qtIcon;
        bool topmost;
    } cases[] = {
        {&owner, MessageIcon::Warning, QMessageBox::Warning, true},
        {nullptr, MessageIcon::Error, QMessageBox::Critical, true},
        {nullptr, MessageIcon::Information, QMessageBox::Information, false},
    };
    for (const auto& c : cases) {
        CMessageBoxRequest request;
        request.owner = c.owner;
        request.text = u"Start \"%s\" service successfully";
        request.caption = u"Kestrel Agent Setting Tool";
        request.icon = c.icon;
        request.topmost = c.topmost;
        const std::unique_ptr<QMessageBox> box = CreateMessageBox(request);
        EXPECT_EQ(box->parentWidget(), c.owner);
        EXPECT_EQ(box->icon(), c.qtIcon);
        EXPECT_EQ(box->windowFlags().testFlag(Qt::WindowStaysOnTopHint), c.topmost);
        EXPECT_EQ(box->text(), QStringLiteral("Start \"%s\" service successfully"));
        EXPECT_EQ(box->textFormat(), Qt::PlainText);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Kestrel Agent Setting Tool"));
        EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    }
}

TEST(MessageBoxTest, DetailsSitBehindTheirButtonInTheBoxsLanguage) {
    const struct {
        const char* name;
        std::u16string show;
        std::u16string hide;
        QString shown; // the button's label, closed and open
        QString open;
    } cases[] = {
        {"the box's labels", u"詳細を表示...", u"詳細を隠す...", QStringLiteral("詳細を表示..."),
         QStringLiteral("詳細を隠す...")},
        {"no labels: Qt's own", u"", u"", QStringLiteral("Show Details..."),
         QStringLiteral("Hide Details...")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CMessageBoxRequest request;
        request.text = u"Unable to connect";
        request.caption = u"Warning";
        request.detailedText = u"[failed] Connect to the server\n    What to do: check it\n";
        request.showDetailsLabel = c.show;
        request.hideDetailsLabel = c.hide;
        {
            CMessageBoxRecorder recorder;
            ShowMessageBox(request);
            ASSERT_EQ(recorder.Records().size(), 1u);
            EXPECT_EQ(recorder.Records()[0].detailedText, request.detailedText);
        }
        {
            const std::unique_ptr<QMessageBox> box = CreateMessageBox(request);
            EXPECT_EQ(box->detailedText(), QString::fromStdU16String(request.detailedText));
            QAbstractButton* details = nullptr;
            for (QAbstractButton* button : box->buttons()) {
                if (button->text() == c.shown)
                    details = button;
            }
            ASSERT_NE(details, nullptr);
            box->show();
            details->click();
            EXPECT_EQ(details->text(), c.open);
            box->hide();
        }
        // The labels lived with the box only.
        EXPECT_EQ(QCoreApplication::translate("QMessageBox", "Show Details..."),
                  QStringLiteral("Show Details..."));
    }
    // A box without details has no such button.
    CMessageBoxRequest plain;
    plain.text = u"Connect to the server successfully.";
    const std::unique_ptr<QMessageBox> box = CreateMessageBox(plain);
    EXPECT_TRUE(box->detailedText().isEmpty());
    EXPECT_EQ(box->buttons().size(), 1);
}

TEST(FileDialogTest, RecorderAnswersAndRealDialogIsSetUp) {
    QWidget owner;
    COpenFileRequest request;
    request.owner = &owner;
    request.filters = {{u"All Files", u"*.*"}};
    {
        COpenFileDialogRecorder recorder;
        recorder.SetNextAnswer(u"/etc/opal/ca.der");
        EXPECT_EQ(ShowOpenFileDialog(request), u"/etc/opal/ca.der");
        EXPECT_EQ(ShowOpenFileDialog(request), std::nullopt); // nothing queued: cancelled
        ASSERT_EQ(recorder.Records().size(), 2u);
        EXPECT_EQ(recorder.Records()[0].owner, &owner);
        EXPECT_EQ(recorder.Records()[0].request.filters, request.filters);
    }
    const std::unique_ptr<QFileDialog> dialog = CreateOpenFileDialog(request);
    EXPECT_EQ(dialog->parentWidget(), &owner);
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("All Files (*)")});
    EXPECT_TRUE(dialog->defaultSuffix().isEmpty());
}

} // namespace
