#include "console/stringfun.h"

#include "settings/settingswindow.h"

#include <QPainter>

StringFun::StringFun() : link(*this, *this, this)
{
    setObjectName("StringFun");
    for (int r = 0; r < kRows; ++r) {
        StringToSend[r] = new QLineEdit(this);
        SendCommand[r] = new QPushButton(this);
        ReceiveString[r] = new QLineEdit(this);
        ButtonShape[r] = new IndicatorShape(this);
        ButtonTimer[r] = new QTimer(this);
    }
    for (int i = 0; i < kBarButtons; ++i)
        LoadButton[i] = new QPushButton(this);
    Frame1 = new QFrame(this);
    Image2 = new QLabel(this);
}

StringFun::~StringFun() = default;

void StringFun::Form_Load() { link.ErrorTexts = framing::errorTexts(); }
void StringFun::Form_QueryUnload() { unload(); }
void StringFun::Form_Unload() {}
void StringFun::SetupScreen() {}
void StringFun::SendCommand_Click(int16_t) {}
void StringFun::LoadButton_Click(int16_t) {}
void StringFun::ButtonTimer_Timer(int16_t) {}
void StringFun::LoadDefaultStrings() {}

void StringFun::setResponseText(int row, const QString &text)
{
    if (row >= 0 && row < kRows)
        ReceiveString[row]->setText(text);
}

void StringFun::setIndicator(int row, const QColor &colour)
{
    if (row >= 0 && row < kRows)
        ButtonShape[row]->setFillColor(colour);
}

void StringFun::enableSendButtons()
{
    for (int r = 0; r < NumRows && r < kRows; ++r)
        SendCommand[r]->setEnabled(true);
}

framing::Mode StringFun::framingMode()
{
    return windows::get<Settings>().fields.OEMProtocol->isChecked() ? framing::Mode::OEM
                                                                     : framing::Mode::DT;
}

QString StringFun::portNumberText() { return windows::get<Settings>().fields.CommPortSetting->text(); }
QString StringFun::baudRateText() { return windows::get<Settings>().fields.baudRateText(); }
