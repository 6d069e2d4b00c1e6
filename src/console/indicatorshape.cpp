#include "console/indicatorshape.h"

#include <QPainter>

IndicatorShape::IndicatorShape(QWidget *parent) : QWidget(parent) {}

void IndicatorShape::setFillColor(const QColor &c)
{
    if (c == m_fill)
        return;
    m_fill = c;
    update();
}

void IndicatorShape::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(m_fill);
    p.setPen(QPen(Qt::black, 1));
    const int d = std::min(width(), height()) - 1;
    p.drawEllipse(QRect((width() - d) / 2, (height() - d) / 2, d, d));
}
