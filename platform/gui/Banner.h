#pragma once
// The banner across the top of the settings dialog: the right-hand image at
// its own width, the left-hand image stretched over the rest, both stretched
// to the banner's height.

#include <QImage>
#include <QPainter>
#include <QRect>

void DrawBanner(QPainter& painter, const QRect& area, const QImage& left, const QImage& right);
