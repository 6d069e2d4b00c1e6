#include "app/programicon.h"

#include <QIconEngine>
#include <QPainter>

namespace {

// Hands every request on to the icon made of the seven images, made at the first request.
class ProgramIconEngine final : public QIconEngine {
public:
    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state, qreal scale) override
    {
        return icon().pixmap(size, scale, mode, state);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return icon().availableSizes(mode, state);
    }
    QIconEngine *clone() const override { return new ProgramIconEngine; }
    QString key() const override { return QStringLiteral("quorvane"); }

private:
    const QIcon &icon()
    {
        if (m_icon.isNull()) {
            for (int size : {16, 24, 32, 48, 64, 128, 256})
                m_icon.addFile(QStringLiteral(":/icons/quorvane-%1.png").arg(size), QSize(size, size));
        }
        return m_icon;
    }
    QIcon m_icon;
};

} // namespace

QIcon programIcon() { return QIcon(new ProgramIconEngine); }
