#include "platform/gui/DialogUnits.h"

#include <cstdint>

#include <QFontMetrics>
#include <QGuiApplication>

CDialogBaseUnits DialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    CDialogBaseUnits base;
    base.x = (letters / 26 + 1) / 2;
    base.y = metrics.height();
    return base;
}

int MulDivRound(int a, int b, int c) {
    if (c == 0)
        return -1;
    const int64_t product = static_cast<int64_t>(a) * b;
    const int64_t half = (c < 0 ? -static_cast<int64_t>(c) : c) / 2;
    const bool negative = (product < 0) != (c < 0);
    const int64_t magnitude = (product < 0 ? -product : product) + half;
    const int64_t quotient = magnitude / (c < 0 ? -static_cast<int64_t>(c) : c);
    return static_cast<int>(negative ? -quotient : quotient);
}

int DialogUnitsToPixelsX(int units, CDialogBaseUnits base) {
    return MulDivRound(units, base.x, 4);
}
int DialogUnitsToPixelsY(int units, CDialogBaseUnits base) {
    return MulDivRound(units, base.y, 8);
}

QRect MapDialogRect(const QRect& units, CDialogBaseUnits base) {
    const int left = DialogUnitsToPixelsX(units.x(), base);
    const int top = DialogUnitsToPixelsY(units.y(), base);
    const int right = DialogUnitsToPixelsX(units.x() + units.width(), base);
    const int bottom = DialogUnitsToPixelsY(units.y() + units.height(), base);
    return QRect(left, top, right - left, bottom - top);
}

QFont DialogFont(const CDialogTemplate& dialog) {
    QFont font = QGuiApplication::font();
    if (!dialog.fontFace.isEmpty())
        font.setFamilies({dialog.fontFace, font.family()});
    font.setPointSize(dialog.fontPointSize);
    return font;
}
