#include "console/layout.h"

#include "app/twips.h"
#include "console/indicatorshape.h"

#include <QFrame>
#include <QPushButton>
#include <QTimer>

namespace layout {

const std::array<BarButton, kBarButtons> &barButtons()
{
    static const std::array<BarButton, kBarButtons> bar = {{
        {"Play Endless", "Playback a Sequence of Command Button Presses Endlessly"},
        {"Playback", "Playback a Sequence of Command Button Presses"},
        {"Record", "Record a Sequence of Command Button Presses"},
        {"Settings", "Settings for Comm Port, Baud Rate etc."},
        {"Save Strings", "Save Command Strings"},
        {"Load Strings", "Load Command Strings"},
        {"Load Default", "Load Default Strings"},
        {"Help", "Display Help"},
    }};
    return bar;
}

QString sendCaption(int row) { return QStringLiteral("Send String &") + QString::number(row); }

void initTemplate(Controls &c)
{
    for (int r = 0; r < kRowPool; ++r) {
        if (c.send[r])
            twips::setGeometry(c.send[r], kSendLeft, kSendTop, kSendWidth, kSendHeight);
        if (c.shape[r])
            twips::setGeometry(c.shape[r], kSendLeft - 2 * kShapeWidth, kSendTop, kShapeWidth, kSendHeight);
        if (c.text[r])
            twips::setGeometry(c.text[r], kSendLeft + kSendWidth, kSendTop, kTextWidth, kSendHeight);
        if (c.response[r])
            twips::setGeometry(c.response[r], kSendLeft + kSendWidth + kTextWidth, kSendTop, kResponseWidth, kSendHeight);
    }
    if (c.logo)
        twips::setGeometry(c.logo, 0, kLogoTop, kLogoWidth, kLogoHeight);
}

void apply(Controls &c, int numRows)
{
    QPushButton *send0 = c.send[0];
    QWidget *text0 = c.text[0];
    QWidget *response0 = c.response[0];
    if (!send0 || !text0 || !response0)
        return;
    const double L0 = twips::left(send0), T0 = twips::top(send0);
    const double W = twips::width(send0), H = twips::height(send0);
    const double P = H + H / 4, G = W / 8;

    for (int r = 0; r < kRowPool; ++r)
        for (QWidget *w : {static_cast<QWidget *>(c.send[r]), c.shape[r], c.text[r], c.response[r]})
            if (w)
                w->hide();

    const int rows = std::min(numRows, kRowPool);
    for (int r = 0; r < rows; ++r) {
        const double y = T0 + r * P;
        if (QPushButton *b = c.send[r]) {
            b->setText(sendCaption(r));
            twips::setTop(b, y);
            twips::setLeft(b, L0);
            twips::setHeight(b, H);
            b->show();
            b->setToolTip(kSendToolTip);
        }
        if (QWidget *s = c.shape[r]) {
            twips::setTop(s, y);
            twips::setLeft(s, L0 - 2 * twips::width(s));
            twips::setHeight(s, H);
            s->show();
            if (auto *shape = qobject_cast<IndicatorShape *>(s))
                shape->setFillColor(Qt::white);
        }
        if (c.timer[r])
            c.timer[r]->setInterval(kIndicatorInterval);
        if (QWidget *t = c.text[r]) {
            twips::setTop(t, y);
            twips::setLeft(t, L0 + W + G);
            twips::setHeight(t, H);
            t->show();
        }
        if (QWidget *resp = c.response[r]) {
            twips::setTop(resp, y);
            twips::setLeft(resp, twips::left(text0) + twips::width(text0) + G);
            twips::setHeight(resp, H);
            resp->show();
            twips::setWidth(resp, kResponseWidth);
        }
        if (c.frame) {
            twips::setGeometry(c.frame, L0 - H / 2, T0 - H,
                               twips::width(text0) + W + twips::width(response0) + 4 * G, P * (rows + 1));
        }
        if (c.window && c.send[r])
            twips::setHeight(c.window, twips::top(c.send[r]) + 3 * H);
    }

    const double right = twips::left(response0) + twips::width(response0);
    if (c.window)
        twips::setWidth(c.window, right + 300);
    if (c.logo && c.window)
        twips::setLeft(c.logo, twips::width(c.window) / 2 - twips::width(c.logo) / 2);

    for (int i = 0; i < kBarButtons; ++i) {
        QPushButton *b = c.bar[i];
        if (!b)
            continue;
        const bool leftColumn = i < 4;
        const double top = leftColumn ? T0 - H / 2 - (i + 1) * P : T0 - H / 2 - (i - 3) * P;
        twips::setGeometry(b, leftColumn ? L0 : right - W, top, W, H);
        b->setText(barButtons()[i].caption);
        b->setToolTip(barButtons()[i].toolTip);
    }
}

} // namespace layout
