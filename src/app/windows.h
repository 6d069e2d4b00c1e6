#pragma once
// The window registry. Each of the program's windows is created on first reference: the
// registry creates it hidden and runs its Form_Load once; unloading runs Form_Unload and destroys
// it, and the next reference creates it anew.
//
//   windows::get<Settings>()        the settings window, created and loaded if need be
//   windows::loaded<Settings>()     the window if it exists, else nullptr (never creates)
//   windows::unload<Settings>()     unloads it if it exists
//   windows::unloadAll()            unloads every window (the console's closing)

#include <QList>
#include <QPointer>
#include <QWidget>

class QCloseEvent;

// Base of the program's windows.
class Form : public QWidget {
    Q_OBJECT
public:
    explicit Form(QWidget *parent = nullptr, Qt::WindowFlags flags = Qt::Window);
    ~Form() override;

    // Creation steps; run once by the registry right after construction.
    virtual void Form_Load() {}
    // The operator asked to close the window; the default unloads it.
    virtual void Form_QueryUnload();
    // Last steps before the window is destroyed.
    virtual void Form_Unload() {}

    // Runs Form_Unload, forgets the window in the registry and destroys it once control
    // returns to the event loop. Safe to call more than once.
    void unload();
    bool isUnloading() const { return m_unloading; }

protected:
    void closeEvent(QCloseEvent *event) override;
    bool event(QEvent *e) override;
    // The window manager has framed the shown window for the first time: its outer size is
    // known from now on.
    virtual void frameKnown() {}

private:
    bool m_unloading = false;
};

namespace windows {

namespace detail {
template <class W>
inline QPointer<W> instance;
void track(Form *form);
} // namespace detail

template <class W>
W *loaded()
{
    W *w = detail::instance<W>.data();
    return (w && !w->isUnloading()) ? w : nullptr;
}

template <class W>
W &get()
{
    if (W *w = loaded<W>())
        return *w;
    W *w = new W();
    detail::instance<W> = w;
    detail::track(w);
    w->Form_Load();
    return *w;
}

template <class W>
void unload()
{
    if (W *w = loaded<W>())
        w->unload();
}

// Every window that is loaded, in order of creation.
QList<Form *> all();
void unloadAll();
// The program is told to end from outside: unloads every window, closes every port (with its
// lock file) and ends the event loop with `exitCode`, as closing the console does.
void shutDown(int exitCode);

} // namespace windows
