#include "console/consolecontrols.h"

#include "console/logo.h"

namespace {

// A command goes on the wire one byte per character: a character without an 8-bit code,
// typed or pasted, is left out rather than sent as something else.
void keepSingleByteCharacters(QLineEdit *field)
{
    QObject::connect(field, &QLineEdit::textEdited, field, [field](const QString &text) {
        QString kept;
        kept.reserve(text.size());
        int cursor = field->cursorPosition();
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (text.at(i).unicode() <= 0xFF)
                kept += text.at(i);
            else if (i < cursor)
                --cursor;
        }
        if (kept.size() != text.size()) {
            field->setText(kept);
            field->setCursorPosition(cursor);
        }
    });
}

} // namespace

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
        StringToSend[r] = new QLineEdit(window);
        StringToSend[r]->setObjectName("StringToSend_" + n);
        StringToSend[r]->setAccessibleName("Command string " + n);
        keepSingleByteCharacters(StringToSend[r]);
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
