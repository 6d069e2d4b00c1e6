#include "app/platform.h"

#include "app/settingsstore.h"

#include <QApplication>
#include <QFileDialog>
#include <QWidget>

namespace platform {
namespace {

class QtAdapter final : public Adapter {
public:
    QMessageBox::StandardButton message(QWidget *parent, const Message &m) override
    {
        QMessageBox box(m.icon, m.caption, m.text, m.buttons, parent);
        return QMessageBox::StandardButton(box.exec());
    }

    std::optional<QString> fileDialog(QWidget *parent, const FileDialogRequest &r) override
    {
        QFileDialog::Options options;
        if (!r.confirmOverwrite)
            options |= QFileDialog::DontConfirmOverwrite;
        const QString name = r.kind == FileDialogRequest::Save
            ? QFileDialog::getSaveFileName(parent, r.title, QString(), r.filter, r.selectedFilter, options)
            : QFileDialog::getOpenFileName(parent, r.title, QString(), r.filter, nullptr, options);
        if (name.isEmpty())
            return std::nullopt;
        return name;
    }
};

QtAdapter qtAdapter;
Adapter *current = nullptr;

// The store's notices come as a message box over the window that asked for the write (the
// settings window is topmost), through whichever adapter is in force.
void storeNotice(const QString &text)
{
    message(QApplication::activeWindow(), {text, QMessageBox::Warning, QMessageBox::Ok, kAppTitle});
}
const bool storeNoticeInstalled = (store::setNotice(storeNotice), true);

} // namespace

Adapter &adapter() { return current ? *current : qtAdapter; }
void install(Adapter *a) { current = a; }

void pumpEvents() { QCoreApplication::processEvents(); }

void setTopmost(QWidget *w, bool on)
{
    const bool visible = w->isVisible();
    w->setWindowFlag(Qt::WindowStaysOnTopHint, on);
    if (visible)
        w->show(); // changing window flags hides a shown window
}

} // namespace platform
