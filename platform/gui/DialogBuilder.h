#pragma once
// Builds the controls of a dialog template as Qt widgets on a surface (a
// dialog or a page), at the template's positions converted through the
// dialog font, in the template's tab order.

#include <vector>

#include <QButtonGroup>
#include <QLineEdit>
#include <QWidget>

#include "platform/gui/DialogUnits.h"
#include "platform/gui/ResourceTemplates.h"

struct CBuiltControl {
    int id = IDC_STATIC;
    ControlKind kind = ControlKind::Label;
    uint32_t style = 0;
    QWidget* widget = nullptr;
    QButtonGroup* radioGroup = nullptr; // radio buttons only
};

class CDialogControls {
public:
    // The first control with this id; null when there is none (or for IDC_STATIC).
    QWidget* Find(int id) const;
    const CBuiltControl* Entry(int id) const;
    const std::vector<CBuiltControl>& All() const { return m_controls; }
    CDialogBaseUnits BaseUnits() const { return m_base; }
    // The radio buttons of the group that `id` belongs to, in template order.
    std::vector<const CBuiltControl*> RadioGroupOf(int id) const;

private:
    friend CDialogControls BuildDialogControls(const CDialogTemplate&, QWidget*);
    std::vector<CBuiltControl> m_controls;
    CDialogBaseUnits m_base;
};

// Creates every control as a child of `surface`, sets the surface's font to
// the dialog font and its size to the template's. Widgets carry their id in
// the "controlId" property and, in decimal, as their object name.
//
// Radio buttons are grouped as the template's group flags say: a group runs
// from a control with "group" to the next such control, and each group is
// exclusive on its own. Push buttons marked "default" become the default
// button; "password" edits are masked, "readonly" edits read-only.
//
// Each control gets the accessible name of ControlAccessibleNames; an edit's
// label becomes its buddy, and a unit label after an edit ("seconds") its
// description.
CDialogControls BuildDialogControls(const CDialogTemplate& dialog, QWidget* surface);

// The names that screen readers and automation clients know the controls by,
// one per control in template order, unique within the template (empty for
// a control with nothing to be called by, such as an edit with no label
// before it):
// - a control is called by its visible text, without mnemonic markers;
// - an edit by the label just before it;
// - a label just after an edit (a unit such as "seconds") by the edit's name
//   and its own text;
// - controls that would still read alike add the caption of the group box
//   they lie in ("Proxy server: HTTP"), and any still alike after that a
//   number, from the second on ("Browse... (2)").
std::vector<QString> ControlAccessibleNames(const CDialogTemplate& dialog);

// What the user may type into an edit: at most `maxChars` characters (0 for no
// limit) and, for "number" edits, digits only. Text the program sets is never
// cut, and a text already over the limit may still be shortened.
void SetEditTextLimit(QLineEdit* edit, int maxChars);
int EditTextLimit(const QLineEdit* edit);
