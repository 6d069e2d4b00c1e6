#pragma once
// The round indicator beside a row's Send button: white at rest and while a command is under
// way, green after a decoded reply, red after a time-out.

#include <QColor>
#include <QWidget>

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
