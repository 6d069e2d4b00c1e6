#include "console/stringfun.h"

#include "app/numbers.h"
#include "app/platform.h"
#include "app/twips.h"
#include "console/commandfile.h"
#include "help/stringfunhelp.h"
#include "settings/settingswindow.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>

const QString StringFun::kSlashMessage = QStringLiteral(
    "Please Enter Command Strings with a leading slash '/' followed by the unit address, such as '/1&'.");

namespace {
const QString kLoadedTitle = QStringLiteral("Current Command File: ");
const QString kWriteError = QStringLiteral("Error Writing File: ");
const QString kReadError = QStringLiteral("Error Reading file: ");
constexpr int kPlayTick = 50;
// A command file is 1025 short lines; nothing beyond this much of a file is ever read.
constexpr qint64 kMaxFileRead = 64 * 1024 * 1024;
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

StringFun::StringFun() : link(*this, *this, this), recorder(*this)
{
    setObjectName("StringFun");
    setAccessibleName("Quorvane console");

    createControls(this);
    for (int r = 0; r < kRows; ++r) {
        if (r >= kDefaultRows)
            StringToSend[r]->setText(QStringLiteral("/1?"));
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
    link.ErrorTexts = framing::errorTexts();
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
    link.CurrentCommand = StringToSend[Index]->text();
    if (!link.CurrentCommand.startsWith(QLatin1Char('/'))) {
        platform::message(this, {kSlashMessage});
        return;
    }
    for (int r = 0; r < NumRows && r < kRows; ++r)
        SendCommand[r]->setEnabled(false);
    link.ResponseBuffer.clear();
    ButtonShape[Index]->setFillColor(colours::white);
    ButtonTimer[Index]->start();
    recorder.storePress(Index);
    link.CurrentRow = Index;

    QPointer<StringFun> self(this);
    platform::pumpEvents();
    if (!self || isUnloading())
        return;
    link.subSendToDrive(QString());
}

void StringFun::ButtonTimer_Timer(int16_t Index)
{
    if (Index >= 0 && Index < kRows)
        ButtonShape[Index]->setFillColor(colours::white);
}

void StringFun::RecordPlayTimer_Timer() { recorder.tick(); }

void StringFun::LoadButton_Click(int16_t Index)
{
    if (MSComm1().isOpen())
        MSComm1().close();
    switch (Index) {
    case 0: recorder.playEndlessButton(); break;
    case 1: recorder.playbackButton(); break;
    case 2: recorder.recordButton(); break;
    case 3: windows::get<Settings>().showFromConsole(); break;
    case 4: SaveStrings(); break;
    case 5: LoadStrings(); break;
    case 6: LoadDefaultStrings(); break;
    case 7: windows::get<StringFunHelp>().showFromConsole(this); break;
    default: break;
    }
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
        ok = writer.write(recorder.RecordArray[size_t(k)][0]) && writer.write(recorder.RecordArray[size_t(k)][1]);
    ok = ok && file.flush();
    file.close();
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

    QFile file(*path);
    bool ok = file.open(QIODevice::ReadOnly);
    commandfile::Reader reader(ok ? file.read(kMaxFileRead) : QByteArray());
    ok = ok && file.error() == QFileDevice::NoError;
    file.close();

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
                recorder.RecordArray[size_t(k)][size_t(col)] = *field;
        }
    }
    if (!ok) {
        platform::message(this, {kReadError + *path, QMessageBox::Warning});
        return;
    }
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
    // Shown once the press that filled the table has been sent.
    QPointer<StringFun> self(this);
    QTimer::singleShot(0, this, [self, presses] {
        if (self)
            platform::message(self, {QStringLiteral("The recorded sequence is full: recording stopped after %1 presses.")
                                         .arg(presses),
                                     QMessageBox::Information});
    });
}
