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
#include <QPointer>
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

    CommPort &MSComm1() { return m_link.MSComm1(); }
    QTimer &tmrReceiveTimeOut() { return m_link.tmrReceiveTimeOut(); }
    void subSendToDrive(const QString &strCommand) { m_link.subSendToDrive(strCommand); }
    QString DecodeSettingsResponse() const { return m_link.DecodeSettingsResponse(); }
    void ResetResponse() { m_link.ResetResponse(); }

    // What the console shows and keeps, for whoever needs to look (tests, the help window).
    int16_t numRows() const { return NumRows; }
    int16_t currentRow() const { return m_link.CurrentRow; }
    const SequenceRecorder &sequence() const { return m_recorder; }
    QTimer &recordPlayTimer() { return *RecordPlayTimer; }

    // RowSink
    void setResponseText(int row, const QString &text) override;
    void markRow(int row, Outcome outcome) override;
    void enableSendButtons() override;
    // LinkSettings: read from the settings window each time.
    framing::Mode framingMode() override;
    QString portNumberText() override;
    QString baudRateText() override;

    static const QString kSlashMessage;

protected:
    // On the free area (outside the controls): a menu that opens the traffic monitor.
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    // SequenceSink
    void pressRow(int16_t row) override { SendCommand_Click(row); }
    void setBarCaption(int index, const QString &caption) override;
    void setBarEnabled(int index, bool enabled) override;
    void enablePlayTimer() override;
    void sequenceFull(int presses) override;

    void disableSendButtons();
    void showSequenceFull(int presses);

    int16_t NumRows = 0;
    DriveLink m_link;
    SequenceRecorder m_recorder;
    QTimer *RecordPlayTimer = nullptr;

    // Rows whose indicator a send has set going: a result painted on them goes white again
    // at the row's next tick.
    std::array<bool, kRows> m_indicatorArmed{};
    // The Send button that had the keyboard focus when a send disabled it; it gets the focus
    // back when the buttons are enabled again, unless the operator has moved it meanwhile.
    QPointer<QPushButton> m_focusAfterSend;
    // Sends under way (a playback press can come while a send lets events run): a full
    // sequence is reported once its press has gone out.
    int m_sendDepth = 0;
    int m_fullAfterSend = 0;
    // Set by a successful load: the title names the file from then on.
    bool m_fileLoaded = false;
};
