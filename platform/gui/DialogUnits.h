#pragma once
// Dialog units. Templates give positions in units of the dialog font: a
// quarter of its average character width across and an eighth of its
// character height down, so a dialog keeps its proportions whatever the
// font, as templates always have.

#include <QFont>
#include <QRect>

#include "platform/gui/ResourceTemplates.h"

struct CDialogBaseUnits {
    int x = 0; // average character width in pixels
    int y = 0; // character height in pixels
};

// The base units of `font`: the width of the 52 Latin letters, per pair
// rounded up (so half of the width per letter rounded), and the line height.
CDialogBaseUnits DialogBaseUnits(const QFont& font);

// a * b / c rounded half away from zero, in 64 bits.
int MulDivRound(int a, int b, int c);

// Template rectangle to pixels. The edges are converted, not the sizes, so
// that controls that touch in the template touch on screen.
QRect MapDialogRect(const QRect& units, CDialogBaseUnits base);
int DialogUnitsToPixelsX(int units, CDialogBaseUnits base);
int DialogUnitsToPixelsY(int units, CDialogBaseUnits base);

// The font a template asks for: its face (the application's family when it
// names none) at its point size.
QFont DialogFont(const CDialogTemplate& dialog);
