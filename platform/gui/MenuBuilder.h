#pragma once
// Builds Qt menus from menu templates. Items keep their template positions
// (separators included), so code that addresses items by position finds them
// where the template put them.

#include <QAction>
#include <QMenu>

#include "platform/gui/ResourceTemplates.h"

// A menu holding the items of the template pop-up `popup`; its title is the
// pop-up's text. Command items carry their id as the action's data.
QMenu* BuildPopupMenu(const CMenuItemTemplate& popup, QWidget* parent = nullptr);

// The command id of a menu action; 0 for separators and pop-ups.
int MenuCommandId(const QAction* action);
