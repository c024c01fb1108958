#pragma once
// The tab control of dialog templates: a strip of tabs over a framed pane.
// Pages are not owned by it; a dialog lays its page windows over
// DisplayRect() and shows the one whose tab is selected, as it is told by
// SelectionChanged (raised for the user's clicks only, not for SetCurSel).

#include <QRect>
#include <QString>
#include <QTabWidget>

class CTabControl : public QTabWidget {
    Q_OBJECT
public:
    explicit CTabControl(QWidget* parent = nullptr);

    int InsertItem(int index, const QString& text);
    int GetItemCount() const { return count(); }
    int GetCurSel() const { return currentIndex(); }
    // Selects a tab without raising SelectionChanged; -1 for an index out of range.
    int SetCurSel(int index);
    // The pane inside the frame, in this control's coordinates.
    QRect DisplayRect() const;

signals:
    void SelectionChanged(int index);
};
