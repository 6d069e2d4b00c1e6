#include "app/windows.h"

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

} // namespace windows

Form::Form(QWidget *parent, Qt::WindowFlags flags) : QWidget(parent, flags) {}

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

void Form::closeEvent(QCloseEvent *event)
{
    // Closing is the window's own decision: Form_QueryUnload unloads it (or not).
    event->ignore();
    if (!m_unloading)
        Form_QueryUnload();
}
