#pragma once
// The console window: command rows, the button bar, record and playback, and the link to the
// drives.

#include "app/windows.h"
#include "console/consolecontrols.h"
#include "console/sequence.h"
#include "link/drivelink.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <array>
#include <cstdint>

class StringFun : public Form, public ConsoleControls, public RowSink, public LinkSettings, public SequenceSink {
    Q_OBJECT
public:
    static constexpr int kDefaultRows = 21;

    // The built-in command strings of rows 0 to 20.
    static const std::array<QString, kDefaultRows> &defaultStrings();
    static QString windowTitleText();

    StringFun();
    ~StringFun() override;

    void Form_Load() override;
    void Form_QueryUnload() override;
    void Form_Unload() override;

    void SetupScreen();
    void SendCommand_Click(int16_t Index);
    void LoadButton_Click(int16_t Index);
    void ButtonTimer_Timer(int16_t Index);
    void RecordPlayTimer_Timer();
    void LoadDefaultStrings();
    // "Save Strings" and "Load Strings".
    void SaveStrings();
    void LoadStrings();

    CommPort &MSComm1() { return link.MSComm1(); }
    QTimer &tmrReceiveTimeOut() { return link.tmrReceiveTimeOut(); }
    QString DecodeSettingsResponse() const { return link.DecodeSettingsResponse(); }
    void ResetResponse() { link.ResetResponse(); }

    // RowSink
    void setResponseText(int row, const QString &text) override;
    void setIndicator(int row, const QColor &colour) override;
    void enableSendButtons() override;
    // LinkSettings: read from the settings window each time.
    framing::Mode framingMode() override;
    QString portNumberText() override;
    QString baudRateText() override;

    QTimer *RecordPlayTimer = nullptr;

    int16_t NumRows = 0;
    DriveLink link;
    SequenceRecorder recorder;

    static const QString kSlashMessage;

private:
    // SequenceSink
    void pressRow(int16_t row) override { SendCommand_Click(row); }
    void setBarCaption(int index, const QString &caption) override;
    void setBarEnabled(int index, bool enabled) override;
    void enablePlayTimer() override;
    void sequenceFull(int presses) override;
};
