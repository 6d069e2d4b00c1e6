#include "console/logo.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

QPixmap quorvaneLogo()
{
    QPixmap pixmap(500, 108);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient band(0, 0, 500, 0);
    band.setColorAt(0, QColor(18, 52, 86));
    band.setColorAt(1, QColor(30, 110, 140));
    QPainterPath frame;
    frame.addRoundedRect(QRectF(1, 1, 498, 106), 14, 14);
    p.fillPath(frame, band);

    // A stepper's toothed rotor.
    const QPointF c(58, 54);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(240, 200, 80));
    QPainterPath rotor;
    for (int i = 0; i < 24; ++i) {
        const double a = i * M_PI / 12;
        const double r = (i % 2) ? 34 : 40;
        const QPointF pt(c.x() + r * std::cos(a), c.y() + r * std::sin(a));
        i ? rotor.lineTo(pt) : rotor.moveTo(pt);
    }
    rotor.closeSubpath();
    p.drawPath(rotor);
    p.setBrush(QColor(18, 52, 86));
    p.drawEllipse(c, 12, 12);

    QFont title(QStringLiteral("DejaVu Sans"), 30, QFont::Bold);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRectF(118, 12, 370, 52), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Quorvane"));
    QFont sub(QStringLiteral("DejaVu Sans"), 11);
    p.setFont(sub);
    p.setPen(QColor(200, 225, 240));
    p.drawText(QRectF(120, 64, 370, 30), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Kestrelworks  \u2022  REZizavur drive console"));
    return pixmap;
}
