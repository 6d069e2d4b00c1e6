#include "app/twips.h"

#include <QHash>
#include <QMargins>
#include <QVariant>
#include <array>
#include <cmath>
#include <optional>

namespace twips {
namespace {

enum Field { kLeft, kTop, kWidth, kHeight };
using Numbers = std::array<std::optional<double>, 4>;

constexpr const char *kFramed = "twipsFramed";
constexpr const char *kFrameApplied = "twipsFrameApplied";

// Each control's numbers, kept beside it until it is destroyed. Dynamic properties would do, but
// setting one looks its name up and sends the control an event, which cost more than all the
// rest when the layouts place hundreds of controls at start-up. Never destroyed itself, so a
// control that outlives the program's static data still finds it.
QHash<const QWidget *, Numbers> &table()
{
    static auto *numbers = new QHash<const QWidget *, Numbers>;
    return *numbers;
}

double read(const QWidget *w, Field f, int pixels)
{
    const auto it = table().constFind(w);
    return it != table().cend() && (*it)[f] ? *(*it)[f] : pixels * perPixel;
}

Numbers &numbers(QWidget *w)
{
    auto it = table().find(w);
    if (it == table().end()) {
        it = table().insert(w, {});
        QObject::connect(w, &QObject::destroyed, [w] { table().remove(w); });
    }
    return *it;
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

void store(QWidget *w, Field f, double v)
{
    numbers(w)[f] = v;
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
    const auto it = table().constFind(window);
    if (it != table().cend() && (*it)[kWidth] && (*it)[kHeight]
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
    numbers(w) = {l, t, cx, cy};
    apply(w);
}

} // namespace twips
