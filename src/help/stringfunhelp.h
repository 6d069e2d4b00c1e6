#pragma once
// The help window: a copy of the console with five rows and the full button bar, in which every
// click on a row's field or button, or on a bar button, shows what that control does. Its title
// blinks until the first click. It owns no port and sends nothing.

#include "app/windows.h"
#include "console/consolecontrols.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <array>
#include <cstdint>

class StringFunHelp : public Form, public ConsoleControls {
    Q_OBJECT
public:
    static constexpr int16_t kHelpRows = 5;

    static const QString kInitialTitle;
    static const QString kShortTitle;
    static const QString kLongTitle;

    StringFunHelp();

    // Lays the window out.
    void Form_Load() override;

    // The console's "Help" button: shows this window non-modal, owned by `owner` (the console),
    // and returns at once.
    void showFromConsole(QWidget *owner);

    // The console's layout for five rows, the bar's captions and tooltips. Reads no settings.
    void SetupHelpScreen();

    void LoadButton_Click(int16_t Index);
    void SendCommand_Click(int16_t Index);
    void StringToSend_Click(int16_t Index);
    void ReceiveString_Click(int16_t Index);
    // One blink step of the title.
    void Timer1_Timer();

    QTimer *Timer1 = nullptr;
    // The blink phase: "1" while the long title is shown, "0" (or empty before the first tick)
    // otherwise.
    QString Timer1Tag;

    int16_t NumRows = kHelpRows;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void stopBlink();
    void explain(const QString &text);
};
