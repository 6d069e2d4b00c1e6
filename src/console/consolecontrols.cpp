#include "console/consolecontrols.h"

#include "console/logo.h"

void ConsoleControls::createControls(QWidget *window)
{
    m_window = window;
    Frame1 = new QFrame(window); // first, so the rows lie above it
    Frame1->setObjectName("Frame1");
    Frame1->setFrameShape(QFrame::StyledPanel);
    Frame1->setFrameShadow(QFrame::Sunken);

    Image2 = new QLabel(window);
    Image2->setObjectName("Image2");
    Image2->setAccessibleName("Logo");
    Image2->setPixmap(quorvaneLogo());
    Image2->setScaledContents(true);

    for (int r = 0; r < kRows; ++r) {
        const QString n = QString::number(r);
        ButtonShape[r] = new IndicatorShape(window);
        ButtonShape[r]->setObjectName("ButtonShape_" + n);
        ButtonShape[r]->setAccessibleName("Indicator " + n);
        SendCommand[r] = new QPushButton(window);
        SendCommand[r]->setObjectName("SendCommand_" + n);
        SendCommand[r]->setAccessibleName("Send String " + n);
        StringToSend[r] = new QLineEdit(window);
        StringToSend[r]->setObjectName("StringToSend_" + n);
        StringToSend[r]->setAccessibleName("Command string " + n);
        ReceiveString[r] = new QLineEdit(window);
        ReceiveString[r]->setObjectName("ReceiveString_" + n);
        ReceiveString[r]->setAccessibleName("Response " + n);
        ButtonTimer[r] = new QTimer(window);
        ButtonTimer[r]->setObjectName("ButtonTimer_" + n);
        for (QWidget *w : {static_cast<QWidget *>(ButtonShape[r]), static_cast<QWidget *>(SendCommand[r]),
                           static_cast<QWidget *>(StringToSend[r]), static_cast<QWidget *>(ReceiveString[r])})
            w->hide();
    }
    for (int i = 0; i < kBarButtons; ++i) {
        LoadButton[i] = new QPushButton(window);
        LoadButton[i]->setObjectName("LoadButton_" + QString::number(i));
        LoadButton[i]->setAccessibleName(layout::barButtons()[size_t(i)].caption);
    }
    auto c = controls();
    layout::initTemplate(c);
}

layout::Controls ConsoleControls::controls()
{
    layout::Controls c;
    for (int r = 0; r < kRows; ++r) {
        c.send[r] = SendCommand[r];
        c.shape[r] = ButtonShape[r];
        c.text[r] = StringToSend[r];
        c.response[r] = ReceiveString[r];
        c.timer[r] = ButtonTimer[r];
    }
    for (int i = 0; i < kBarButtons; ++i)
        c.bar[i] = LoadButton[i];
    c.frame = Frame1;
    c.logo = Image2;
    c.window = m_window;
    return c;
}
