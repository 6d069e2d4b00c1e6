// The help window: its five example rows laid out like the console, the bar's captions and
// tooltips, the blinking title, and the description every click shows (and when the blink
// stops relative to it). A click sends nothing.
#include "app/platform.h"
#include "app/twips.h"
#include "app/windows.h"
#include "console/stringfun.h"
#include "help/stringfunhelp.h"
#include "support/ptypair.h"
#include "support/tempstore.h"

#include <QApplication>
#include <QSerialPort>
#include <QTest>

namespace {

// Records every message box together with the help window's state at the moment it is shown.
class ObservingPlatform final : public platform::Adapter {
public:
    struct Shown {
        platform::Message message;
        QString title;
        bool blinking = false;
    };
    ObservingPlatform() { platform::install(this); }
    ~ObservingPlatform() override { platform::install(nullptr); }
    QMessageBox::StandardButton message(QWidget *, const platform::Message &m) override
    {
        Shown s{m, {}, false};
        if (StringFunHelp *h = windows::loaded<StringFunHelp>()) {
            s.title = h->windowTitle();
            s.blinking = h->Timer1->isActive();
        }
        shown << s;
        return QMessageBox::Ok;
    }
    std::optional<QString> fileDialog(QWidget *, const platform::FileDialogRequest &) override { return std::nullopt; }
    QList<Shown> shown;
};

void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

const QString kSend = "Click \"Send String\" to transmit the command string to the Motor Drive.";
const QString kField = "Enter your command strings in these fields. Click \"Send String\" to transmit the string";
const QString kResponse = "Responses from the motor drives will appear in these fields.";

} // namespace

class TestHelp : public QObject {
    Q_OBJECT
    TempStore store;
    ObservingPlatform platform;

    static StringFunHelp &help()
    {
        StringFunHelp &h = windows::get<StringFunHelp>();
        h.show();
        return h;
    }
    // Clicks a control of the help window the way the operator does.
    static void click(StringFunHelp &h, const QString &kind, int index)
    {
        QWidget *w = nullptr;
        if (kind == "LoadButton")
            w = h.LoadButton[index];
        else if (kind == "SendCommand")
            w = h.SendCommand[index];
        else if (kind == "StringToSend")
            w = h.StringToSend[index];
        else
            w = h.ReceiveString[index];
        QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center());
    }

private slots:
    void init()
    {
        store.clear();
        platform.shown.clear();
    }
    void cleanup()
    {
        windows::unloadAll();
        settle();
    }

    void creation()
    {
        StringFunHelp &h = windows::get<StringFunHelp>();
        QCOMPARE(h.windowTitle(), QString("Kestrelworks Quorvan Help - Click a control for its description."));
        QVERIFY(h.Timer1->isActive());
        QCOMPARE(h.Timer1->interval(), 2000);
        QVERIFY(h.Timer1Tag.isEmpty());
        QCOMPARE(h.NumRows, int16_t(5));
        QVERIFY(!h.isVisible()); // created hidden; the console's button shows it
        const QStringList examples = {"/1&", "/1T", "/1?", "/1A1000R", "/1A0R"};
        for (int r = 0; r < StringFunHelp::kRows; ++r) {
            const bool shown = r < 5;
            QCOMPARE(h.SendCommand[r]->isVisibleTo(&h), shown);
            QCOMPARE(h.StringToSend[r]->isVisibleTo(&h), shown);
            QCOMPARE(h.ReceiveString[r]->isVisibleTo(&h), shown);
            QCOMPARE(h.ButtonShape[r]->isVisibleTo(&h), shown);
            if (shown) {
                QCOMPARE(h.StringToSend[r]->text(), examples[r]);
                QCOMPARE(h.SendCommand[r]->text(), QStringLiteral("Send String &%1").arg(r));
                QCOMPARE(h.SendCommand[r]->toolTip(), QString("Click to send command string."));
                QCOMPARE(h.ButtonShape[r]->fillColor(), QColor(255, 255, 255));
                QCOMPARE(h.ReceiveString[r]->text(), QString());
            }
        }
        QCOMPARE(h.findChildren<QSerialPort *>().size(), 0); // owns no port
        QVERIFY(!h.Image2->pixmap().isNull()); // the console's logo
        QVERIFY(platform.shown.isEmpty());
        QVERIFY(!windows::loaded<StringFun>()); // needs nothing of the console
    }

    void bar_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("tooltip");
        QTest::addColumn<double>("left");
        QTest::addColumn<double>("top");
        QTest::newRow("0") << 0 << "Play Endless" << "Playback a Sequence of Command Button Presses Endlessly" << 585.0 << 1301.25;
        QTest::newRow("1") << 1 << "Playback" << "Playback a Sequence of Command Button Presses" << 585.0 << 945.0;
        QTest::newRow("2") << 2 << "Record" << "Record a Sequence of Command Button Presses" << 585.0 << 588.75;
        QTest::newRow("3") << 3 << "Settings" << "Settings for Comm Port, Baud Rate etc." << 585.0 << 232.5;
        QTest::newRow("4") << 4 << "Save Strings" << "Save Command Strings" << 9845.0 << 1301.25;
        QTest::newRow("5") << 5 << "Load Strings" << "Load Command Strings" << 9845.0 << 945.0;
        QTest::newRow("6") << 6 << "Load Default" << "Load Default Strings" << 9845.0 << 588.75;
        QTest::newRow("7") << 7 << "Help" << "Display Help" << 9845.0 << 232.5;
    }
    void bar()
    {
        QFETCH(int, index);
        QFETCH(QString, caption);
        QFETCH(QString, tooltip);
        QFETCH(double, left);
        QFETCH(double, top);
        StringFunHelp &h = help();
        QPushButton *b = h.LoadButton[index];
        QCOMPARE(b->text(), caption);
        QCOMPARE(b->toolTip(), tooltip);
        QVERIFY(b->isVisible());
        QCOMPARE(twips::left(b), left);
        QCOMPARE(twips::top(b), top);
        QCOMPARE(twips::width(b), 1380.0);
        QCOMPARE(twips::height(b), 285.0);
    }

    // The console's layout for five rows.
    void rowGeometry_data()
    {
        QTest::addColumn<int>("row");
        for (int r = 0; r < 5; ++r)
            QTest::newRow(qPrintable(QString::number(r))) << r;
    }
    void rowGeometry()
    {
        QFETCH(int, row);
        StringFunHelp &h = help();
        const double y = 1800 + row * 356.25;
        QCOMPARE(twips::top(h.SendCommand[row]), y);
        QCOMPARE(twips::left(h.SendCommand[row]), 585.0);
        QCOMPARE(twips::width(h.SendCommand[row]), 1380.0);
        QCOMPARE(twips::height(h.SendCommand[row]), 285.0);
        QCOMPARE(twips::top(h.ButtonShape[row]), y);
        QCOMPARE(twips::left(h.ButtonShape[row]), 105.0);
        QCOMPARE(twips::top(h.StringToSend[row]), y);
        QCOMPARE(twips::left(h.StringToSend[row]), 2137.5);
        QCOMPARE(twips::width(h.StringToSend[row]), 3915.0);
        QCOMPARE(twips::top(h.ReceiveString[row]), y);
        QCOMPARE(twips::left(h.ReceiveString[row]), 6225.0);
        QCOMPARE(twips::width(h.ReceiveString[row]), 5000.0);
        QCOMPARE(h.SendCommand[row]->geometry().top(), twips::toPixels(y));
    }

    void frameLogoAndWindow()
    {
        StringFunHelp &h = help();
        QCOMPARE(twips::left(h.Frame1), 442.5);
        QCOMPARE(twips::top(h.Frame1), 1515.0);
        QCOMPARE(twips::width(h.Frame1), 10985.0);
        QCOMPARE(twips::height(h.Frame1), 2137.5); // 356.25 x 6
        QCOMPARE(twips::left(h.Image2), 2012.5);
        QCOMPARE(twips::top(h.Image2), 120.0);
        QCOMPARE(twips::width(&h), 11525.0);
        QCOMPARE(twips::height(&h), 4080.0); // 1800 + 4 x 356.25 + 3 x 285
        // Laying out again changes nothing.
        h.SetupHelpScreen();
        QCOMPARE(twips::height(h.Frame1), 2137.5);
        QCOMPARE(twips::top(h.SendCommand[4]), 3225.0);
        QCOMPARE(twips::left(h.Image2), 2012.5);
    }

    void titleBlink()
    {
        StringFunHelp &h = windows::get<StringFunHelp>();
        struct Step {
            QString title;
            QString tag;
            int interval;
        };
        const QList<Step> steps = {
            {StringFunHelp::kLongTitle, "1", 1000}, {StringFunHelp::kShortTitle, "0", 500},
            {StringFunHelp::kLongTitle, "1", 1000}, {StringFunHelp::kShortTitle, "0", 500},
        };
        QCOMPARE(StringFunHelp::kLongTitle, QString("Kestrelworks Quorvane Help - Click a control for its description."));
        QCOMPARE(StringFunHelp::kShortTitle, QString("Kestrelworks Quorvane Help"));
        for (const Step &s : steps) {
            h.Timer1_Timer();
            QCOMPARE(h.windowTitle(), s.title);
            QCOMPARE(h.Timer1Tag, s.tag);
            QCOMPARE(h.Timer1->interval(), s.interval);
            QVERIFY(h.Timer1->isActive());
        }
        // A tag that is neither "1" nor "0" counts as "0".
        h.Timer1Tag = "x";
        h.Timer1_Timer();
        QCOMPARE(h.windowTitle(), StringFunHelp::kLongTitle);
    }

    void timerDrivesTheBlink()
    {
        StringFunHelp &h = windows::get<StringFunHelp>();
        // The first tick comes from the timer itself, after its 2000 ms.
        QTRY_COMPARE_WITH_TIMEOUT(h.windowTitle(), StringFunHelp::kLongTitle, 6000);
        QCOMPARE(h.Timer1->interval(), 1000);
        QTRY_COMPARE_WITH_TIMEOUT(h.windowTitle(), StringFunHelp::kShortTitle, 4000);
        QCOMPARE(h.Timer1->interval(), 500);
    }

    void clicks_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("stopsFirst");
        QTest::newRow("bar 0") << "LoadButton" << 0 << "This Plays the sequence of recorded command button presses endlessly." << true;
        QTest::newRow("bar 1") << "LoadButton" << 1 << "This Plays the sequence of recorded command button presses." << true;
        QTest::newRow("bar 2") << "LoadButton" << 2 << "This Records a sequence of command button presses. It allows you to create command sequences that can be looped." << true;
        QTest::newRow("bar 3") << "LoadButton" << 3 << "This opens the settings window where you set the COM port, baud rate and number of strings to display." << true;
        QTest::newRow("bar 4") << "LoadButton" << 4 << "This allows you to Save your Command Strings." << true;
        QTest::newRow("bar 5") << "LoadButton" << 5 << "This allows you to load previously saved Command Strings." << true;
        QTest::newRow("bar 6") << "LoadButton" << 6 << "This loads the default set of Command Strings." << true;
        QTest::newRow("bar 7") << "LoadButton" << 7 << "This opens the Help Window." << true;
        QTest::newRow("send 0") << "SendCommand" << 0 << kSend << false;
        QTest::newRow("send 4") << "SendCommand" << 4 << kSend << false;
        QTest::newRow("field 1") << "StringToSend" << 1 << kField << false;
        QTest::newRow("field 3") << "StringToSend" << 3 << kField << false;
        QTest::newRow("response 0") << "ReceiveString" << 0 << kResponse << false;
        QTest::newRow("response 2") << "ReceiveString" << 2 << kResponse << false;
    }
    void clicks()
    {
        QFETCH(QString, kind);
        QFETCH(int, index);
        QFETCH(QString, text);
        QFETCH(bool, stopsFirst);
        StringFunHelp &h = help();
        // Mid-blink: the long title is up.
        h.Timer1_Timer();
        click(h, kind, index);
        QCOMPARE(platform.shown.size(), 1);
        const auto &shown = platform.shown.first();
        QCOMPARE(shown.message.text, text);
        QCOMPARE(shown.message.caption, QString("Kestrelworks"));
        QCOMPARE(shown.message.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        if (stopsFirst) {
            QVERIFY(!shown.blinking);
            QCOMPARE(shown.title, StringFunHelp::kShortTitle);
        } else {
            QVERIFY(shown.blinking); // the title keeps alternating while the box is open
            QCOMPARE(shown.title, StringFunHelp::kLongTitle);
        }
        QVERIFY(!h.Timer1->isActive());
        QCOMPARE(h.windowTitle(), StringFunHelp::kShortTitle);

        // A second click shows its message and leaves the short title in place.
        click(h, "ReceiveString", 4);
        QCOMPARE(platform.shown.size(), 2);
        QCOMPARE(platform.shown.last().message.text, kResponse);
        QCOMPARE(platform.shown.last().title, StringFunHelp::kShortTitle);
        QVERIFY(!h.Timer1->isActive());
        QCOMPARE(h.windowTitle(), StringFunHelp::kShortTitle);
    }

    void barClickBeforeTheFirstTick()
    {
        StringFunHelp &h = help();
        QCOMPARE(h.windowTitle(), StringFunHelp::kInitialTitle);
        click(h, "LoadButton", 5);
        QCOMPARE(platform.shown.size(), 1);
        QCOMPARE(platform.shown.first().title, StringFunHelp::kShortTitle); // straight to the short title
        QCOMPARE(h.windowTitle(), StringFunHelp::kShortTitle);
    }

    void barIndexOutOfRange_data()
    {
        QTest::addColumn<int>("index");
        QTest::newRow("-1") << -1;
        QTest::newRow("8") << 8;
    }
    void barIndexOutOfRange()
    {
        QFETCH(int, index);
        StringFunHelp &h = windows::get<StringFunHelp>();
        h.LoadButton_Click(int16_t(index));
        QVERIFY(platform.shown.isEmpty());
        QVERIFY(!h.Timer1->isActive());
        QCOMPARE(h.windowTitle(), StringFunHelp::kShortTitle);
    }

    void secondaryButtonOnAFieldIsNoClick()
    {
        StringFunHelp &h = help();
        QTest::mouseClick(h.StringToSend[2], Qt::RightButton, {}, h.StringToSend[2]->rect().center());
        QVERIFY(platform.shown.isEmpty());
        QVERIFY(h.Timer1->isActive());
    }

    void aClickSendsNothing()
    {
        PtyPair line;
        QVERIFY(line.isValid());
        store.mapPort(1, line.slavePath());
        StringFun &console = windows::get<StringFun>();
        console.MSComm1().setPortNumber(1);
        QVERIFY(console.MSComm1().open());
        StringFunHelp &h = windows::get<StringFunHelp>();
        h.showFromConsole(&console);
        for (int r = 0; r < 5; ++r) {
            click(h, "SendCommand", r);
            click(h, "StringToSend", r);
            click(h, "ReceiveString", r);
        }
        for (int i = 0; i < 8; ++i)
            click(h, "LoadButton", i);
        QCOMPARE(platform.shown.size(), 23);
        QCOMPARE(line.drain(100), QByteArray());
        for (int r = 0; r < 5; ++r) {
            QCOMPARE(h.ButtonShape[r]->fillColor(), QColor(255, 255, 255));
            QCOMPARE(h.StringToSend[r]->text(), QStringList({"/1&", "/1T", "/1?", "/1A1000R", "/1A0R"})[r]);
            QCOMPARE(h.ReceiveString[r]->text(), QString());
            QCOMPARE(console.ButtonShape[r]->fillColor(), QColor(255, 255, 255));
        }
        QVERIFY(!console.tmrReceiveTimeOut().isActive()); // no send was started
        QVERIFY(console.MSComm1().isOpen());
        // No settings were read on the help window's account.
        QVERIFY(!store.contains("ValvePositions", "MaxStrings"));
    }

    void showFromConsole()
    {
        StringFun &console = windows::get<StringFun>();
        StringFunHelp &h = windows::get<StringFunHelp>();
        h.showFromConsole(&console);
        QVERIFY(h.isVisible());
        QVERIFY(h.isWindow());
        QCOMPARE(h.parentWidget(), static_cast<QWidget *>(&console));
        QVERIFY(!h.isModal());
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(h.windowTitle(), StringFunHelp::kInitialTitle);
        QVERIFY(h.Timer1->isActive());
        // Closing it unloads it; the next opening blinks again from the start.
        h.Timer1_Timer();
        h.close();
        QVERIFY(!windows::loaded<StringFunHelp>());
        settle();
        StringFunHelp &again = windows::get<StringFunHelp>();
        again.showFromConsole(&console);
        QCOMPARE(again.windowTitle(), StringFunHelp::kInitialTitle);
        QCOMPARE(again.Timer1->interval(), 2000);
        QVERIFY(again.Timer1Tag.isEmpty());
    }
};

QTEST_MAIN(TestHelp)
#include "test_help.moc"
