#pragma once
// Geometry in twips. Positions and sizes are kept on the control as floating point dynamic
// properties and applied to the widget at 15 twips per pixel, rounded, so the layout can read
// back exactly what it set and running it twice changes nothing.

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

} // namespace twips
