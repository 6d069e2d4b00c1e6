#pragma once
// The console window: command rows, the button bar, and the link to the drives.

#include "app/windows.h"
#include "console/indicatorshape.h"
#include "link/drivelink.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <array>
#include <cstdint>

class StringFun : public Form, public RowSink, public LinkSettings {
    Q_OBJECT
public:
    static constexpr int kRows = 51;
    static constexpr int kBarButtons = 8;

    StringFun();
    ~StringFun() override;

    void Form_Load() override;
    void Form_QueryUnload() override;
    void Form_Unload() override;

    void SetupScreen();
    void SendCommand_Click(int16_t Index);
    void LoadButton_Click(int16_t Index);
    void ButtonTimer_Timer(int16_t Index);
    void LoadDefaultStrings();

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

    std::array<QLineEdit *, kRows> StringToSend{};
    std::array<QPushButton *, kRows> SendCommand{};
    std::array<QLineEdit *, kRows> ReceiveString{};
    std::array<IndicatorShape *, kRows> ButtonShape{};
    std::array<QTimer *, kRows> ButtonTimer{};
    std::array<QPushButton *, kBarButtons> LoadButton{};
    QFrame *Frame1 = nullptr;
    QLabel *Image2 = nullptr;

    int16_t NumRows = 0;
    DriveLink link;
};
