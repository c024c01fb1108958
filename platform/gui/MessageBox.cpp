#include "platform/gui/MessageBox.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QMessageBox>
#include <QTextEdit>
#include <QTranslator>

namespace {

// QMessageBox names its details button through Qt's own translations, which
// the tool does not ship; while the box lives, this answers those two texts
// in the box's language.
class CDetailsButtonTranslator : public QTranslator {
public:
    CDetailsButtonTranslator(QObject* parent, QString show, QString hide)
        : QTranslator(parent), m_show(std::move(show)), m_hide(std::move(hide)) {}

    QString translate(const char* context, const char* sourceText, const char*,
                      int) const override {
        if (context == nullptr || sourceText == nullptr || qstrcmp(context, "QMessageBox") != 0)
            return {};
        if (qstrcmp(sourceText, "Show Details...") == 0)
            return m_show;
        if (qstrcmp(sourceText, "Hide Details...") == 0)
            return m_hide;
        return {};
    }
    bool isEmpty() const override { return false; }

private:
    QString m_show;
    QString m_hide;
};

CMessageBoxRecorder* g_recorder = nullptr;

QMessageBox::Icon QtIcon(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::None:
        return QMessageBox::NoIcon;
    case MessageIcon::Information:
        return QMessageBox::Information;
    case MessageIcon::Warning:
        return QMessageBox::Warning;
    case MessageIcon::Error:
        return QMessageBox::Critical;
    case MessageIcon::Question:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

int FirstAnswer(MessageButtons buttons) {
    return buttons == MessageButtons::YesNo ? IDYES : IDOK;
}

} // namespace

CMessageBoxRecorder::CMessageBoxRecorder() : m_previous(g_recorder) {
    g_recorder = this;
}

CMessageBoxRecorder::~CMessageBoxRecorder() {
    g_recorder = m_previous;
}

int CMessageBoxRecorder::Answer(const CMessageBoxRequest& request) {
    Record record;
    record.owner = request.owner;
    record.hadOwner = request.owner != nullptr;
    record.text = request.text;
    record.caption = request.caption;
    record.icon = request.icon;
    record.topmost = request.topmost;
    record.buttons = request.buttons;
    record.detailedText = request.detailedText;
    record.answer = FirstAnswer(request.buttons);
    if (!m_answers.empty()) {
        record.answer = m_answers.front();
        m_answers.pop_front();
    }
    m_records.push_back(record);
    return record.answer;
}

std::unique_ptr<QMessageBox> CreateMessageBox(const CMessageBoxRequest& request) {
    auto box = std::make_unique<QMessageBox>(request.owner);
    box->setIcon(QtIcon(request.icon));
    box->setWindowTitle(QString::fromStdU16String(request.caption));
    box->setText(QString::fromStdU16String(request.text));
    box->setTextFormat(Qt::PlainText);
    if (!request.detailedText.empty()) {
        if (!request.showDetailsLabel.empty() && !request.hideDetailsLabel.empty())
            QCoreApplication::installTranslator(new CDetailsButtonTranslator(
                box.get(), QString::fromStdU16String(request.showDetailsLabel),
                QString::fromStdU16String(request.hideDetailsLabel)));
        box->setDetailedText(QString::fromStdU16String(request.detailedText));
        // Qt keeps the details to a strip of five lines; a report of many
        // lines reads better in a pane that shows most of it at once.
        if (auto* details = box->findChild<QTextEdit*>()) {
            const QFontMetrics metrics(details->font());
            details->setFixedHeight(metrics.lineSpacing() * 18);
            details->setMinimumWidth(metrics.averageCharWidth() * 80);
        }
    }
    switch (request.buttons) {
    case MessageButtons::Ok:
        box->setStandardButtons(QMessageBox::Ok);
        box->setDefaultButton(QMessageBox::Ok);
        box->setEscapeButton(QMessageBox::Ok);
        break;
    case MessageButtons::OkCancel:
        box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box->setDefaultButton(QMessageBox::Ok);
        box->setEscapeButton(QMessageBox::Cancel);
        break;
    case MessageButtons::YesNo:
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
        break;
    }
    // exec() makes the box application modal; setting the modality here
    // would drop the stays-on-top hint again.
    if (request.topmost)
        box->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    return box;
}

int ShowMessageBox(const CMessageBoxRequest& request) {
    if (g_recorder != nullptr)
        return g_recorder->Answer(request);
    const std::unique_ptr<QMessageBox> box = CreateMessageBox(request);
    box->exec();
    switch (box->standardButton(box->clickedButton())) {
    case QMessageBox::Ok:
        return IDOK;
    case QMessageBox::Cancel:
        return IDCANCEL;
    case QMessageBox::Yes:
        return IDYES;
    case QMessageBox::No:
        return IDNO;
    default:
        return request.buttons == MessageButtons::YesNo      ? IDNO
               : request.buttons == MessageButtons::OkCancel ? IDCANCEL
                                                             : IDOK;
    }
}

int ShowMessageBox(QWidget* owner, const std::u16string& text, const std::u16string& caption,
                   MessageIcon icon, bool topmost, MessageButtons buttons) {
    CMessageBoxRequest request;
    request.owner = owner;
    request.text = text;
    request.caption = caption;
    request.icon = icon;
    request.topmost = topmost;
    request.buttons = buttons;
    return ShowMessageBox(request);
}
