#pragma once
// Geometry in twips. Positions and sizes are kept for each control as floating point numbers
// (for as long as the control lives) and applied to the widget at 15 twips per pixel, rounded,
// so the layout can read back exactly what it set and running it twice changes nothing.

#include <QWidget>

namespace twips {

constexpr double perPixel = 15.0;

double left(const QWidget *w);
double top(const QWidget *w);
double width(const QWidget *w);
double height(const QWidget *w);

void setLeft(QWidget *w, double v);
void setTop(QWidget *w, double v);
void setWidth(QWidget *w, double v);
void setHeight(QWidget *w, double v);
void setGeometry(QWidget *w, double left, double top, double width, double height);

int toPixels(double twips);

// A window's twips are its outer size, frame included. The frame is known only once the window
// manager has framed the window; until then a window is taken to get the frame the last framed
// window got. Call this when a shown window moves or is resized: an outer size set before its
// frame was known is applied again. True the first time the window is seen framed.
bool frameChanged(QWidget *window);

} // namespace twips
