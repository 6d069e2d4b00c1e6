#include "help/stringfunhelp.h"

#include "app/platform.h"
#include "console/layout.h"

#include <QMouseEvent>

const QString StringFunHelp::kInitialTitle =
    QStringLiteral("Kestrelworks Quorvan Help - Click a control for its description.");
const QString StringFunHelp::kShortTitle = QStringLiteral("Kestrelworks Quorvane Help");
const QString StringFunHelp::kLongTitle =
    QStringLiteral("Kestrelworks Quorvane Help - Click a control for its description.");

namespace {

// The example strings of the five rows.
const std::array<QString, StringFunHelp::kHelpRows> kExamples = {"/1&", "/1T", "/1?", "/1A1000R", "/1A0R"};

const std::array<QString, StringFunHelp::kBarButtons> kBarDescriptions = {
    "This Plays the sequence of recorded command button presses endlessly.",
    "This Plays the sequence of recorded command button presses.",
    "This Records a sequence of command button presses. It allows you to create command sequences that can be looped.",
    "This opens the settings window where you set the COM port, baud rate and number of strings to display.",
    "This allows you to Save your Command Strings.",
    "This allows you to load previously saved Command Strings.",
    "This loads the default set of Command Strings.",
    "This opens the Help Window.",
};

const QString kSendCommandText =
    QStringLiteral("Click \"Send String\" to transmit the command string to the Motor Drive.");
const QString kStringToSendText =
    QStringLiteral("Enter your command strings in these fields. Click \"Send String\" to transmit the string");
const QString kReceiveStringText = QStringLiteral("Responses from the motor drives will appear in these fields.");

} // namespace

StringFunHelp::StringFunHelp()
{
    setObjectName("StringFunHelp");
    setWindowTitle(kInitialTitle);
    createControls(this);
    for (int r = 0; r < kRows; ++r) {
        if (r < kHelpRows)
            StringToSend[r]->setText(kExamples[r]);
        connect(SendCommand[r], &QPushButton::clicked, this, [this, r] { SendCommand_Click(int16_t(r)); });
        StringToSend[r]->installEventFilter(this);
        ReceiveString[r]->installEventFilter(this);
    }
    for (int i = 0; i < kBarButtons; ++i) {
        connect(LoadButton[i], &QPushButton::clicked, this, [this, i] { LoadButton_Click(int16_t(i)); });
    }

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1_Timer(); });
    Timer1->setInterval(2000);
    Timer1->start();
}

void StringFunHelp::Form_Load() { SetupHelpScreen(); }

void StringFunHelp::showFromConsole(QWidget *owner)
{
    if (owner && parentWidget() != owner) {
        // A window of its own, kept above its owner and closed with it.
        setParent(owner, windowFlags() | Qt::Window);
    }
    setWindowModality(Qt::NonModal);
    show();
    raise();
    activateWindow();
}

void StringFunHelp::SetupHelpScreen()
{
    NumRows = kHelpRows;
    for (int i = 0; i < kRows; ++i) {
        SendCommand[i]->hide();
        ButtonShape[i]->hide();
        StringToSend[i]->hide();
        ReceiveString[i]->hide();
    }
    // The rows, frame, logo and bar exactly as the console lays them out, for five rows; the
    // bar gets the console's captions and tooltips.
    layout::Controls c = controls();
    layout::apply(c, NumRows);
}

void StringFunHelp::stopBlink()
{
    Timer1->stop();
    setWindowTitle(kShortTitle);
}

void StringFunHelp::explain(const QString &text)
{
    platform::message(this, {text, QMessageBox::NoIcon, QMessageBox::Ok, platform::kAppTitle});
}

void StringFunHelp::LoadButton_Click(int16_t Index)
{
    // The bar stops the blink before its description is shown.
    stopBlink();
    if (Index >= 0 && Index < kBarButtons)
        explain(kBarDescriptions[size_t(Index)]);
}

// The rows show their description first; the blink stops once the box is dismissed.
void StringFunHelp::SendCommand_Click(int16_t)
{
    explain(kSendCommandText);
    stopBlink();
}

void StringFunHelp::StringToSend_Click(int16_t)
{
    explain(kStringToSendText);
    stopBlink();
}

void StringFunHelp::ReceiveString_Click(int16_t)
{
    explain(kReceiveStringText);
    stopBlink();
}

void StringFunHelp::Timer1_Timer()
{
    if (Timer1Tag == QLatin1String("1")) {
        setWindowTitle(kShortTitle);
        Timer1Tag = QStringLiteral("0");
        Timer1->setInterval(500);
    } else {
        setWindowTitle(kLongTitle);
        Timer1Tag = QStringLiteral("1");
        Timer1->setInterval(1000);
    }
}

bool StringFunHelp::eventFilter(QObject *watched, QEvent *event)
{
    // A click on a text field: the left button released over the field it was pressed on.
    if (event->type() == QEvent::MouseButtonRelease) {
        auto *me = static_cast<QMouseEvent *>(event);
        auto *w = qobject_cast<QWidget *>(watched);
        if (w && me->button() == Qt::LeftButton && w->rect().contains(me->position().toPoint())) {
            for (int r = 0; r < kRows; ++r) {
                if (watched == StringToSend[r]) {
                    StringToSend_Click(int16_t(r));
                    break;
                }
                if (watched == ReceiveString[r]) {
                    ReceiveString_Click(int16_t(r));
                    break;
                }
            }
        }
    }
    return Form::eventFilter(watched, event);
}
