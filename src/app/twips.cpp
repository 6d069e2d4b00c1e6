#include "app/twips.h"

#include <QMargins>
#include <QVariant>
#include <cmath>

namespace twips {
namespace {

constexpr const char *kLeft = "twipsLeft";
constexpr const char *kTop = "twipsTop";
constexpr const char *kWidth = "twipsWidth";
constexpr const char *kHeight = "twipsHeight";
constexpr const char *kFramed = "twipsFramed";
constexpr const char *kFrameApplied = "twipsFrameApplied";

double read(const QWidget *w, const char *name, int pixels)
{
    const QVariant v = w->property(name);
    return v.isValid() ? v.toDouble() : pixels * perPixel;
}

// The frame the window manager last gave a window: a window not yet framed (before its first
// show, its frame is unknown) is taken to get the same.
QMargins &lastFrame()
{
    static QMargins margins;
    return margins;
}

QMargins actualFrame(const QWidget *w)
{
    const QRect frame = w->frameGeometry(), inner = w->geometry();
    return {inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
            frame.bottom() - inner.bottom()};
}

QSize frameExtra(const QWidget *w)
{
    QMargins m = actualFrame(w);
    if (m.isNull() && !w->property(kFramed).toBool())
        m = lastFrame();
    return {m.left() + m.right(), m.top() + m.bottom()};
}

// A top-level window's twips are its outer size; child controls use their own geometry.
void apply(QWidget *w)
{
    const int x = toPixels(left(w)), y = toPixels(top(w));
    const int cx = std::max(0, toPixels(width(w))), cy = std::max(0, toPixels(height(w)));
    if (w->isWindow()) {
        const QSize extra = frameExtra(w);
        w->setProperty(kFrameApplied, extra);
        w->resize(std::max(0, cx - extra.width()), std::max(0, cy - extra.height()));
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
double width(const QWidget *w) { return read(w, kWidth, w->width() + (w->isWindow() ? frameExtra(w).width() : 0)); }
double height(const QWidget *w) { return read(w, kHeight, w->height() + (w->isWindow() ? frameExtra(w).height() : 0)); }

bool frameChanged(QWidget *window)
{
    if (!window->isWindow() || !window->isVisible())
        return false;
    const QMargins m = actualFrame(window);
    if (m.isNull())
        return false;
    lastFrame() = m;
    const bool first = !window->property(kFramed).toBool();
    window->setProperty(kFramed, true);
    // An outer size set before the frame was known is set again, now that it is (and only then:
    // a size the operator gives the window by hand stays).
    if (window->property(kWidth).isValid() && window->property(kHeight).isValid()
        && window->property(kFrameApplied).toSize() != frameExtra(window))
        apply(window);
    return first;
}

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
    // A control takes the numbers just given; reading them back from its properties would cost
    // more than the rest (the layouts place hundreds of controls at start-up).
    if (w->isWindow())
        apply(w);
    else
        w->setGeometry(toPixels(l), toPixels(t), std::max(0, toPixels(cx)), std::max(0, toPixels(cy)));
}

} // namespace twips
