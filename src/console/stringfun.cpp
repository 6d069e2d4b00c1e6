#include "console/stringfun.h"

#include "app/numbers.h"
#include "app/platform.h"
#include "app/twips.h"
#include "console/commandfile.h"
#include "help/stringfunhelp.h"
#include "monitor/trafficmonitor.h"
#include "settings/settingswindow.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QMenu>
#include <QFile>
#include <QPointer>
#include <utility>

const QString StringFun::kSlashMessage = QStringLiteral(
    "Please Enter Command Strings with a leading slash '/' followed by the unit address, such as '/1&'.");

namespace {
const QString kLoadedTitle = QStringLiteral("Current Command File: ");
const QString kWriteError = QStringLiteral("Error Writing File: ");
const QString kReadError = QStringLiteral("Error Reading file: ");
constexpr int kPlayTick = 50;
} // namespace

const std::array<QString, StringFun::kDefaultRows> &StringFun::defaultStrings()
{
    static const std::array<QString, kDefaultRows> strings = {
        "/1&", "/1?0", "/1T", "/1A1000A0R", "/1P1000D500R", "/1Z10000R", "/1V2000R",
        "/1gA1000M500A0M500G5R", "/1H01A1000H01A0R", "/1J1M500J2M500J3M500J0R", "/1F",
        "/1?2", "/1?3", "/1?4", "/1?5", "/1?6", "/1?7", "/1?8", "/1?1", "/1?2", "/1?3"};
    return strings;
}

QString StringFun::windowTitleText()
{
    return QStringLiteral("Kestrelworks Quorvane Version ")
        + numbers::signedWithBlank(QUORVANE_VERSION_MAJOR) + QLatin1Char('.')
        + numbers::signedWithBlank(QUORVANE_VERSION_MINOR) + QLatin1Char('.')
        + numbers::signedWithBlank(QUORVANE_VERSION_REVISION);
}

StringFun::StringFun() : m_link(*this, *this, this), m_recorder(*this)
{
    setObjectName("StringFun");

    createControls(this);
    for (int r = 0; r < kRows; ++r) {
        if (r >= kDefaultRows)
            StringToSend[r]->setText(QStringLiteral("/1?"));
        // Every row's indicator ticks at the same pace, whether or not the layout placed it.
        ButtonTimer[r]->setInterval(layout::kIndicatorInterval);
        const auto index = int16_t(r);
        connect(SendCommand[r], &QPushButton::clicked, this, [this, index] { SendCommand_Click(index); });
        connect(ButtonTimer[r], &QTimer::timeout, this, [this, index] { ButtonTimer_Timer(index); });
    }
    for (int i = 0; i < kBarButtons; ++i) {
        const auto index = int16_t(i);
        connect(LoadButton[i], &QPushButton::clicked, this, [this, index] { LoadButton_Click(index); });
    }

    RecordPlayTimer = new QTimer(this);
    RecordPlayTimer->setObjectName("RecordPlayTimer");
    RecordPlayTimer->setInterval(kPlayTick);
    connect(RecordPlayTimer, &QTimer::timeout, this, &StringFun::RecordPlayTimer_Timer);
    RecordPlayTimer->start();

    tmrReceiveTimeOut().setObjectName("tmrReceiveTimeOut");
}

StringFun::~StringFun() = default;

void StringFun::Form_Load()
{
    m_link.ErrorTexts = framing::errorTexts();
    LoadDefaultStrings();
    SetupScreen();
}

void StringFun::LoadDefaultStrings()
{
    for (int n = 0; n < kDefaultRows; ++n)
        StringToSend[n]->setText(defaultStrings()[size_t(n)]);
}

void StringFun::SetupScreen()
{
    NumRows = 10;
    if (const auto rows = numbers::toInt16(windows::get<Settings>().fields.MaxStrings->text()))
        NumRows = *rows;
    if (MSComm1().isOpen())
        MSComm1().close();
    auto c = controls();
    layout::apply(c, NumRows);
    // Once a file is loaded the title names it, whatever re-lays the console.
    if (!m_fileLoaded)
        setWindowTitle(windowTitleText());
    // A time-out the timer cannot take (not a number, zero or negative) keeps the previous one.
    if (const auto ms = numbers::toInt32(windows::get<Settings>().fields.RCVTimeout->text()); ms && *ms > 0)
        tmrReceiveTimeOut().setInterval(*ms);
}

void StringFun::SendCommand_Click(int16_t Index)
{
    // A row that does not exist (a hand-edited command file played back) is not pressed.
    if (Index < 0 || Index >= kRows)
        return;
    m_link.CurrentCommand = StringToSend[Index]->text();
    if (!m_link.CurrentCommand.startsWith(QLatin1Char('/'))) {
        platform::message(this, {kSlashMessage});
        return;
    }
    disableSendButtons();
    m_link.ResponseBuffer.clear();
    ButtonShape[Index]->setFillColor(colours::white);
    m_indicatorArmed[size_t(Index)] = true;
    ButtonTimer[Index]->start();
    ++m_sendDepth;
    m_recorder.storePress(Index);
    m_link.CurrentRow = Index;

    QPointer<StringFun> self(this);
    platform::pumpEvents();
    if (!self || isUnloading())
        return;
    m_link.subSendToDrive(QString());
    // A press made by playback while this one waited is done by now as well.
    if (--m_sendDepth == 0)
        if (const int presses = std::exchange(m_fullAfterSend, 0))
            showSequenceFull(presses);
}

void StringFun::disableSendButtons()
{
    // Disabling the focused button would hand the focus to the next field, where the next
    // keystroke would overwrite a command; the window holds it instead until the reply.
    QWidget *focus = focusWidget();
    for (int r = 0; r < NumRows && r < kRows; ++r) {
        if (SendCommand[r] == focus) {
            m_focusAfterSend = SendCommand[r];
            SendCommand[r]->clearFocus();
        }
        SendCommand[r]->setEnabled(false);
    }
}

void StringFun::ButtonTimer_Timer(int16_t Index)
{
    if (Index < 0 || Index >= kRows)
        return;
    ButtonShape[Index]->setFillColor(colours::white);
    // A white indicator needs no more ticks until a result colours it again.
    ButtonTimer[Index]->stop();
}

void StringFun::RecordPlayTimer_Timer()
{
    m_recorder.tick();
    // The clock rests while nothing is recorded or played; starting either sets it going.
    if (!m_recorder.Recording && !m_recorder.Playing)
        RecordPlayTimer->stop();
}

void StringFun::LoadButton_Click(int16_t Index)
{
    if (MSComm1().isOpen())
        MSComm1().close();
    switch (Index) {
    case 0: m_recorder.playEndlessButton(); break;
    case 1: m_recorder.playbackButton(); break;
    case 2: m_recorder.recordButton(); break;
    case 3: windows::get<Settings>().showFromConsole(); break;
    case 4: SaveStrings(); break;
    case 5: LoadStrings(); break;
    case 6: LoadDefaultStrings(); break;
    case 7: windows::get<StringFunHelp>().showFromConsole(this); break;
    default: break;
    }
}

void StringFun::contextMenuEvent(QContextMenuEvent *event)
{
    // Controls keep their own menus (or none); the frame around the rows is free area.
    QWidget *under = childAt(event->pos());
    if (under && under != Frame1) {
        event->ignore();
        return;
    }
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction *monitorAction = menu->addAction(QStringLiteral("Traffic Monitor"), this, [] { monitor::open(); });
    // Shown beside the caption; the key itself works in every window of the program.
    monitorAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T));
    monitorAction->setShortcutContext(Qt::WidgetShortcut);
    menu->popup(event->globalPos());
}

void StringFun::SaveStrings()
{
    platform::FileDialogRequest request;
    request.kind = platform::FileDialogRequest::Save;
    request.title = QStringLiteral("Save Protocol");
    request.confirmOverwrite = true;
    const auto path = platform::fileDialog(this, request);
    if (!path)
        return;

    QFile file(*path);
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    commandfile::Writer writer(file);
    for (int r = 0; ok && r < commandfile::kRows; ++r)
        ok = writer.writeText(StringToSend[r]->text());
    for (int k = 0; ok && k < commandfile::kEntries; ++k)
        ok = writer.write(m_recorder.RecordArray[size_t(k)][0]) && writer.write(m_recorder.RecordArray[size_t(k)][1]);
    // Closing writes what is still buffered; a failure there is a write error like any other.
    file.close();
    ok = ok && file.error() == QFileDevice::NoError;
    if (!ok)
        platform::message(this, {kWriteError + *path, QMessageBox::Warning});
}

void StringFun::LoadStrings()
{
    platform::FileDialogRequest request;
    request.kind = platform::FileDialogRequest::Open;
    request.title = QStringLiteral("Load Protocol");
    const auto path = platform::fileDialog(this, request);
    if (!path)
        return;

    // Fields are read from the file as they are needed: nothing past the last field is read.
    QFile file(*path);
    bool ok = file.open(QIODevice::ReadOnly);
    commandfile::Reader reader(file);

    // Rows and entries read before a failure keep their new values.
    for (int i = 0; ok && i < commandfile::kRows; ++i) {
        const auto field = reader.next();
        if (!(ok = field.has_value()))
            break;
        StringToSend[i]->setText(*field);
        ReceiveString[i]->setText(QString());
    }
    for (int k = 0; ok && k < commandfile::kEntries; ++k) {
        for (int col = 0; ok && col < 2; ++col) {
            const auto field = reader.next();
            if ((ok = field.has_value()))
                m_recorder.RecordArray[size_t(k)][size_t(col)] = *field;
        }
    }
    file.close();
    if (!ok) {
        platform::message(this, {kReadError + *path, QMessageBox::Warning});
        return;
    }
    m_fileLoaded = true;
    setWindowTitle(kLoadedTitle + *path);
}

void StringFun::Form_QueryUnload()
{
    platform::pumpEvents();
    unload();
}

void StringFun::Form_Unload()
{
    tmrReceiveTimeOut().stop();
    platform::pumpEvents();
    if (MSComm1().isOpen())
        MSComm1().close();
    platform::pumpEvents();
    windows::unloadAll();
    QCoreApplication::quit();
}

void StringFun::setResponseText(int row, const QString &text)
{
    if (row >= 0 && row < kRows)
        ReceiveString[row]->setText(text);
}

void StringFun::markRow(int row, Outcome outcome)
{
    if (row < 0 || row >= kRows)
        return;
    ButtonShape[row]->setFillColor(outcome == Outcome::Decoded ? colours::green : colours::red);
    if (m_indicatorArmed[size_t(row)] && !ButtonTimer[row]->isActive())
        ButtonTimer[row]->start();
}

void StringFun::enableSendButtons()
{
    for (int r = 0; r < NumRows && r < kRows; ++r)
        SendCommand[r]->setEnabled(true);
    // The focus goes back to the pressed button unless the operator has put it elsewhere.
    if (QPushButton *b = m_focusAfterSend.data(); b && !focusWidget() && b->isVisible() && b->isEnabled())
        b->setFocus(Qt::OtherFocusReason);
    m_focusAfterSend.clear();
}

framing::Mode StringFun::framingMode()
{
    return windows::get<Settings>().fields.OEMProtocol->isChecked() ? framing::Mode::OEM
                                                                     : framing::Mode::DT;
}

QString StringFun::portNumberText() { return windows::get<Settings>().fields.CommPortSetting->text(); }
QString StringFun::baudRateText() { return windows::get<Settings>().fields.baudRateText(); }

void StringFun::setBarCaption(int index, const QString &caption)
{
    if (index >= 0 && index < kBarButtons)
        LoadButton[index]->setText(caption);
}

void StringFun::setBarEnabled(int index, bool enabled)
{
    if (index >= 0 && index < kBarButtons)
        LoadButton[index]->setEnabled(enabled);
}

void StringFun::enablePlayTimer()
{
    if (!RecordPlayTimer->isActive())
        RecordPlayTimer->start();
}

void StringFun::sequenceFull(int presses)
{
    // The press that filled the table goes on the wire before the message holds the operator.
    if (m_sendDepth > 0)
        m_fullAfterSend = presses;
    else
        showSequenceFull(presses);
}

void StringFun::showSequenceFull(int presses)
{
    platform::message(this, {QStringLiteral("The recorded sequence is full: recording stopped after %1 presses.")
                                 .arg(presses),
                             QMessageBox::Information});
}
