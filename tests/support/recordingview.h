#pragma once

#include "firmware/updatetransfer.h"

#include <QStringList>
#include <functional>

// Every status of an update that goes all the way.
inline QStringList done(const QString &validated = "Status: AMX file OK...")
{
    return {"Status: Validating AMX update file...", "Status: Validating AMX file...", validated,
            "Status: Negotiating baud rate...", "Status: Entering update mode...", "Status: Transmitting data...",
            "Status: Transfer complete...", "Status: OK"};
}

// The firmware transfer's window as a test sees it: it records what it is shown (the spinner as
// block indexes and "[ ]") and answers the confirmation as told.
struct RecordingView final : UpdateView {
    QStringList statuses, messages, spins, progress;
    QString address = "1", baud = "9600", ended;
    bool yes = true;
    std::function<void(int)> onSpinner = [](int) {};

    void showStatus(const QString &t) override { statuses << t; }
    void showProgress(int v) override { progress << QString::number(v); }
    void updateSpinner(int32_t count) override { spins << QString::number(count), onSpinner(count); }
    void showSpinner(const QString &t) override { spins << "[" + t + "]"; }
    void showMessage(const QString &t, Icon i) override { messages << QStringList{"none: ", "info: ", "warn: "}[int(i)] + t; }
    bool confirm(const QString &t) override { return messages << "ask: " + t, yes; }
    QString AddressChar() const override { return address; }
    QString baudText() const override { return baud; }
    void selectFirstBaud() override { baud = "9600"; }
    void attemptEnded(bool transfer) override { ended = transfer ? "transfer" : "common"; }
};
