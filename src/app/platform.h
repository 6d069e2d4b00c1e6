#pragma once
// Platform adapters: message boxes, file dialogs and the event pump.
//
// Windows never call QMessageBox or QFileDialog directly; they go through the installed
// Platform. Production installs the Qt one; tests install a scripted one that records every
// message and answers dialogs from a queue, so no test ever blocks on a modal box.

#include <QMessageBox>
#include <QString>
#include <optional>

class QWidget;

namespace platform {

// Application title, the caption of every message box.
inline const QString kAppTitle = QStringLiteral("Kestrelworks");

struct Message {
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QString caption = kAppTitle;
};

struct FileDialogRequest {
    enum Kind { Open, Save } kind = Open;
    QString title;
    QString filter;           // "Description (*.ext)" in Qt's form; empty: no filter
    bool confirmOverwrite = false;
    QString *selectedFilter = nullptr; // when given: the file type chosen, on return
};

class Adapter {
public:
    virtual ~Adapter() = default;
    // Shows a message box and returns the button pressed.
    virtual QMessageBox::StandardButton message(QWidget *parent, const Message &m) = 0;
    // Shows a file dialog; nullopt when the user cancels.
    virtual std::optional<QString> fileDialog(QWidget *parent, const FileDialogRequest &r) = 0;
};

// The adapter in force; the Qt one unless a test installed another.
Adapter &adapter();
// Installs an adapter (nullptr restores the Qt one). The caller keeps ownership.
void install(Adapter *a);

inline QMessageBox::StandardButton message(QWidget *parent, const Message &m)
{
    return adapter().message(parent, m);
}
inline std::optional<QString> fileDialog(QWidget *parent, const FileDialogRequest &r)
{
    return adapter().fileDialog(parent, r);
}

// Lets pending events run once (timers, serial notifications, repaints).
void pumpEvents();

// Keeps a window above the other windows of the desktop.
void setTopmost(QWidget *w, bool on);

} // namespace platform
