#include "support/scriptedplatform.h"

QMessageBox::StandardButton ScriptedPlatform::message(QWidget *, const platform::Message &m)
{
    messages.append(m);
    if (onMessage)
        onMessage(m);
    for (int bit = 0; bit < 32; ++bit) // lowest standard button offered
        if (m.buttons & (1u << bit))
            return QMessageBox::StandardButton(1u << bit);
    return QMessageBox::Ok;
}

std::optional<QString> ScriptedPlatform::fileDialog(QWidget *, const platform::FileDialogRequest &r)
{
    dialogs.append(r);
    if (r.selectedFilter)
        *r.selectedFilter = filters.isEmpty() ? r.filter.section(QStringLiteral(";;"), 0, 0) : filters.dequeue();
    return files.isEmpty() ? std::nullopt : files.dequeue();
}

QStringList ScriptedPlatform::texts() const
{
    QStringList out;
    for (const auto &m : messages)
        out << m.text;
    return out;
}
