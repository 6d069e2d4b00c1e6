#pragma once
// A platform adapter for tests: records every message box, answers it with the first button
// offered, and answers file dialogs from a queue. Installed for its lifetime.

#include "app/platform.h"

#include <QList>
#include <QQueue>
#include <functional>

class ScriptedPlatform final : public platform::Adapter {
public:
    ScriptedPlatform() { platform::install(this); }
    ~ScriptedPlatform() override { platform::install(nullptr); }

    QMessageBox::StandardButton message(QWidget *parent, const platform::Message &m) override;
    std::optional<QString> fileDialog(QWidget *parent, const platform::FileDialogRequest &r) override;

    // Answers for the next file dialogs; nullopt = the user cancels (also when the queue is empty).
    QQueue<std::optional<QString>> files;
    // The file type chosen in the next save dialogs that ask for it (default: the first offered).
    QQueue<QString> filters;

    QList<platform::Message> messages;
    // Called as each message box opens, to look at the world at that moment.
    std::function<void(const platform::Message &)> onMessage;
    QList<platform::FileDialogRequest> dialogs;
    QStringList texts() const;
};
