#include "app/twips.h"

#include <QVariant>
#include <cmath>

namespace twips {
namespace {

constexpr const char *kLeft = "twipsLeft";
constexpr const char *kTop = "twipsTop";
constexpr const char *kWidth = "twipsWidth";
constexpr const char *kHeight = "twipsHeight";

double read(const QWidget *w, const char *name, int pixels)
{
    const QVariant v = w->property(name);
    return v.isValid() ? v.toDouble() : pixels * perPixel;
}

// A top-level window's twips are its outer size; child controls use their own geometry.
void apply(QWidget *w)
{
    const int x = toPixels(left(w)), y = toPixels(top(w));
    const int cx = std::max(0, toPixels(width(w))), cy = std::max(0, toPixels(height(w)));
    if (w->isWindow()) {
        const QRect frame = w->frameGeometry(), inner = w->geometry();
        const int extraW = frame.width() - inner.width(), extraH = frame.height() - inner.height();
        w->resize(std::max(0, cx - extraW), std::max(0, cy - extraH));
    } else {
        w->setGeometry(x, y, cx, cy);
    }
}

void store(QWidget *w, const char *name, double v)
{
    w->setProperty(name, v);
    apply(w);
}

} // namespace

int toPixels(double t) { return int(std::lround(t / perPixel)); }

double left(const QWidget *w) { return read(w, kLeft, w->x()); }
double top(const QWidget *w) { return read(w, kTop, w->y()); }
double width(const QWidget *w) { return read(w, kWidth, w->isWindow() ? w->frameGeometry().width() : w->width()); }
double height(const QWidget *w) { return read(w, kHeight, w->isWindow() ? w->frameGeometry().height() : w->height()); }

void setLeft(QWidget *w, double v) { store(w, kLeft, v); }
void setTop(QWidget *w, double v) { store(w, kTop, v); }
void setWidth(QWidget *w, double v) { store(w, kWidth, v); }
void setHeight(QWidget *w, double v) { store(w, kHeight, v); }

void setGeometry(QWidget *w, double l, double t, double cx, double cy)
{
    w->setProperty(kLeft, l);
    w->setProperty(kTop, t);
    w->setProperty(kWidth, cx);
    w->setProperty(kHeight, cy);
    apply(w);
}

} // namespace twips
