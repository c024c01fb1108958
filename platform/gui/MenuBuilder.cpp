#include "platform/gui/MenuBuilder.h"

QMenu* BuildPopupMenu(const CMenuItemTemplate& popup, QWidget* parent) {
    auto* menu = new QMenu(popup.text, parent);
    for (const CMenuItemTemplate& item : popup.items) {
        switch (item.kind) {
        case CMenuItemTemplate::Kind::Separator:
            menu->addSeparator();
            break;
        case CMenuItemTemplate::Kind::Command: {
            QAction* action = menu->addAction(item.text);
            action->setData(item.command);
            break;
        }
        case CMenuItemTemplate::Kind::Popup:
            menu->addMenu(BuildPopupMenu(item, menu));
            break;
        }
    }
    return menu;
}

int MenuCommandId(const QAction* action) {
    if (action == nullptr || action->isSeparator() || action->menu() != nullptr)
        return 0;
    bool ok = false;
    const int id = action->data().toInt(&ok);
    return ok ? id : 0;
}
