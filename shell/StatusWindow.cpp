#include "shell/StatusWindow.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

#include "res/Resource.h"

namespace {

constexpr int IMAGE_SIZE = 48;
constexpr int TEXT_WIDTH = 300;
constexpr unsigned IDS_CAPTION = 7022;

// The menu's texts, by command.
struct ButtonText {
    int command;
    unsigned text;
};
constexpr ButtonText BUTTON_TEXTS[] = {{ID_CONFIGURE, 7112},
                                       {ID_START_SERVICE, 7114},
                                       {ID_STOP_SERVICE, 7115},
                                       {ID_RESTART_SERVICE, 7116},
                                       {ID_EXIT, 7117}};
constexpr unsigned IDS_SELECT_LANGUAGE = 7113;

} // namespace

CStatusWindow::CStatusWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    m_image = new QLabel(this);
    m_image->setFixedSize(IMAGE_SIZE, IMAGE_SIZE);
    m_image->setAlignment(Qt::AlignCenter);
    m_tip = new QLabel(this);
    m_tip->setWordWrap(true);
    m_tip->setMinimumWidth(TEXT_WIDTH);
    QFont strong = m_tip->font();
    strong.setBold(true);
    m_tip->setFont(strong);
    m_service = new QLabel(this);
    m_service->setWordWrap(true);
    m_hint = new QLabel(this);
    m_hint->setWordWrap(true);
    // Quieter than the rest, but a line to read: a disabled label would be
    // announced as unavailable.
    m_hint->setForegroundRole(QPalette::PlaceholderText);

    m_configure = AddCommandButton(ID_CONFIGURE);
    m_language = new QPushButton(this);
    m_start = AddCommandButton(ID_START_SERVICE);
    m_stop = AddCommandButton(ID_STOP_SERVICE);
    m_restart = AddCommandButton(ID_RESTART_SERVICE);
    m_exit = AddCommandButton(ID_EXIT);

    auto* texts = new QVBoxLayout;
    texts->addWidget(m_tip);
    texts->addWidget(m_service);
    texts->addStretch();
    auto* status = new QHBoxLayout;
    status->addWidget(m_image, 0, Qt::AlignTop);
    status->addLayout(texts, 1);

    // The menu's groups: the settings, the service, the end.
    auto* buttons = new QGridLayout;
    buttons->addWidget(m_configure, 0, 0);
    buttons->addWidget(m_language, 0, 1);
    buttons->addWidget(m_start, 1, 0);
    buttons->addWidget(m_stop, 1, 1);
    buttons->addWidget(m_restart, 1, 2);
    buttons->addWidget(m_exit, 2, 2);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(status);
    layout->addSpacing(8);
    layout->addLayout(buttons);
    layout->addWidget(m_hint);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    // The window opens on a desktop nobody is looking at for it: it must not
    // steal the keyboard from the user's work.
    setAttribute(Qt::WA_ShowWithoutActivating);
}

QPushButton* CStatusWindow::AddCommandButton(int commandId) {
    auto* button = new QPushButton(this);
    button->setObjectName(QString::number(commandId));
    connect(button, &QPushButton::clicked, this,
            [this, commandId] { emit CommandChosen(commandId); });
    return button;
}

void CStatusWindow::ApplyTexts(const std::function<QString(unsigned)>& text) {
    setWindowTitle(text(IDS_CAPTION));
    for (const ButtonText& item : BUTTON_TEXTS) {
        if (QPushButton* button = Button(item.command))
            button->setText(text(item.text));
    }
    m_language->setText(text(IDS_SELECT_LANGUAGE));
    m_hint->setText(text(IDS_STATUS_WINDOW_CLOSE_HINT));
}

void CStatusWindow::SetAgentStatus(const QIcon& icon, const QString& tip) {
    m_image->setPixmap(icon.pixmap(IMAGE_SIZE, IMAGE_SIZE));
    setWindowIcon(icon);
    m_tip->setText(tip);
}

void CStatusWindow::SetServiceState(const QString& text) {
    m_service->setText(text);
}

void CStatusWindow::SetServiceCommands(bool start, bool stop, bool restart) {
    m_start->setEnabled(start);
    m_stop->setEnabled(stop);
    m_restart->setEnabled(restart);
}

void CStatusWindow::SetLanguageMenu(QMenu* menu) {
    m_language->setMenu(menu);
}

QPushButton* CStatusWindow::Button(int commandId) const {
    switch (commandId) {
    case ID_CONFIGURE:
        return m_configure;
    case ID_START_SERVICE:
        return m_start;
    case ID_STOP_SERVICE:
        return m_stop;
    case ID_RESTART_SERVICE:
        return m_restart;
    case ID_EXIT:
        return m_exit;
    default:
        return nullptr;
    }
}

QString CStatusWindow::TipText() const {
    return m_tip->text();
}

QString CStatusWindow::ServiceStateText() const {
    return m_service->text();
}

void CStatusWindow::closeEvent(QCloseEvent* event) {
    // Closing is the user's Exit; the frame hides the window as part of it.
    event->ignore();
    emit CloseRequested();
}
