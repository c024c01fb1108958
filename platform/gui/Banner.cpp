#include "platform/gui/Banner.h"

void DrawBanner(QPainter& painter, const QRect& area, const QImage& left, const QImage& right) {
    const int rightWidth = right.isNull() ? 0 : qMin(right.width(), area.width());
    if (rightWidth > 0)
        painter.drawImage(
            QRect(area.right() + 1 - rightWidth, area.top(), rightWidth, area.height()), right);
    if (!left.isNull() && area.width() > rightWidth)
        painter.drawImage(QRect(area.left(), area.top(), area.width() - rightWidth, area.height()),
                          left);
}
