#include "platform/gui/TabControl.h"

#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionTabWidgetFrame>

CTabControl::CTabControl(QWidget* parent) : QTabWidget(parent) {
    // Programmatic changes block this object's signals, so whatever still
    // arrives here is the user's click or key.
    connect(this, &QTabWidget::currentChanged, this, &CTabControl::SelectionChanged);
}

int CTabControl::InsertItem(int index, const QString& text) {
    // The tab's own page stays empty and transparent: the dialog's page
    // windows lie over it.
    auto* placeholder = new QWidget();
    placeholder->setAttribute(Qt::WA_TransparentForMouseEvents);
    const QSignalBlocker blocker(this);
    return insertTab(index, placeholder, text);
}

int CTabControl::SetCurSel(int index) {
    if (index < 0 || index >= count())
        return -1;
    const int previous = currentIndex();
    const QSignalBlocker blocker(this);
    setCurrentIndex(index);
    return previous;
}

QRect CTabControl::DisplayRect() const {
    QStyleOptionTabWidgetFrame option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_TabWidgetTabContents, &option, this);
}
