#include "app/windows.h"

#include "app/twips.h"
#include "link/commport.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCloseEvent>

namespace windows {
namespace {
QList<QPointer<Form>> &tracked()
{
    static QList<QPointer<Form>> list;
    return list;
}
} // namespace

void detail::track(Form *form) { tracked().append(form); }

QList<Form *> all()
{
    QList<Form *> out;
    for (const auto &p : tracked())
        if (p && !p->isUnloading())
            out.append(p.data());
    return out;
}

void unloadAll()
{
    for (Form *f : all())
        f->unload();
}

void shutDown(int exitCode)
{
    unloadAll();
    CommPort::closeAll();
    QCoreApplication::exit(exitCode);
}

} // namespace windows

namespace {

// Assistive technology sees each of the program's windows as a window, named by its title
// (a plain widget would be exposed as a nameless filler).
QAccessibleInterface *formAccessible(const QString &, QObject *object)
{
    auto *form = qobject_cast<Form *>(object);
    return form && form->isWindow() ? new QAccessibleWidget(form, QAccessible::Window) : nullptr;
}

} // namespace

Form::Form(QWidget *parent, Qt::WindowFlags flags) : QWidget(parent, flags)
{
    static const bool installed = (QAccessible::installFactory(formAccessible), true);
    Q_UNUSED(installed);
}

Form::~Form() = default;

void Form::Form_QueryUnload() { unload(); }

void Form::unload()
{
    if (m_unloading)
        return;
    m_unloading = true;
    Form_Unload();
    hide();
    deleteLater();
}

bool Form::event(QEvent *e)
{
    const bool result = QWidget::event(e);
    // The window manager's frame shows up with the first move or resize after the show.
    if (e->type() == QEvent::Move || e->type() == QEvent::Resize || e->type() == QEvent::Show)
        if (twips::frameChanged(this))
            frameKnown();
    return result;
}

void Form::closeEvent(QCloseEvent *event)
{
    // Closing is the window's own decision: Form_QueryUnload unloads it (or not).
    event->ignore();
    if (!m_unloading)
        Form_QueryUnload();
}
