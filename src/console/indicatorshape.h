#pragma once
// The round indicator beside a row's Send button: white at rest and while a command is under
// way, green after a decoded reply, red after a time-out.

#include <QColor>
#include <QWidget>

namespace colours {
inline const QColor white(255, 255, 255);
inline const QColor green(0, 255, 0);
inline const QColor red(255, 0, 0);
} // namespace colours

class IndicatorShape : public QWidget {
    Q_OBJECT
public:
    explicit IndicatorShape(QWidget *parent = nullptr);
    QColor fillColor() const { return m_fill; }
    void setFillColor(const QColor &c);

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QColor m_fill = Qt::white;
};
