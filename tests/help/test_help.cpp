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

// Records every message box together with the help window's title and blink at that moment.
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
        StringFunHelp *h = windows::loaded<StringFunHelp>();
        shown << Shown{m, h ? h->windowTitle() : QString(), h && h->Timer1->isActive()};
        return QMessageBox::Ok;
    }
    std::optional<QString> fileDialog(QWidget *, const platform::FileDialogRequest &) override { return std::nullopt; }
    QList<Shown> shown;
};

const QString kInitial = "Kestrelworks Quorvan Help - Click a control for its description.";
const QString kLong = "Kestrelworks Quorvane Help - Click a control for its description.";
const QString kShort = "Kestrelworks Quorvane Help";
const QString kResponse = "Responses from the motor drives will appear in these fields.";
const QStringList kExamples = {"/1&", "/1T", "/1?", "/1A1000R", "/1A0R"};

} // namespace

class TestHelp : public QObject {
    Q_OBJECT
    TempStore store;
    ObservingPlatform platform;

    static StringFunHelp &help() { return windows::get<StringFunHelp>(); }
    // Clicks a control of the help window the way the operator does.
    static void click(StringFunHelp &h, const QString &kind, int index)
    {
        QWidget *w = kind == "LoadButton"     ? static_cast<QWidget *>(h.LoadButton[index])
                     : kind == "SendCommand"  ? h.SendCommand[index]
                     : kind == "StringToSend" ? static_cast<QWidget *>(h.StringToSend[index])
                                              : h.ReceiveString[index];
        QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center());
    }
    // Left, top, width and height in twips.
    static QList<double> geo(const QWidget *w) { return {twips::left(w), twips::top(w), twips::width(w), twips::height(w)}; }

private slots:
    void init() { store.clear(), platform.shown.clear(); }
    void cleanup()
    {
        windows::unloadAll();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Created hidden and blinking, needing nothing of the console; laid out by the console's
    // layout for five rows, the same when laid out again.
    void creationAndLayout()
    {
        StringFunHelp &h = help();
        QCOMPARE(h.windowTitle(), kInitial);
        QVERIFY(h.Timer1->isActive() && h.Timer1->interval() == 2000 && h.Timer1Tag.isEmpty());
        QVERIFY(!h.isVisible() && !windows::loaded<StringFun>());
        QCOMPARE(h.findChildren<QSerialPort *>().size(), 0); // owns no port
        QVERIFY(!h.Image2->pixmap().isNull());               // the console's logo
        const QStringList captions = {"Play Endless", "Playback", "Record", "Settings",
                                      "Save Strings", "Load Strings", "Load Default", "Help"};
        const QStringList tips = {"Playback a Sequence of Command Button Presses Endlessly",
                                  "Playback a Sequence of Command Button Presses",
                                  "Record a Sequence of Command Button Presses",
                                  "Settings for Comm Port, Baud Rate etc.", "Save Command Strings",
                                  "Load Command Strings", "Load Default Strings", "Display Help"};
        const double barTops[] = {1301.25, 945, 588.75, 232.5};
        for (int pass = 0; pass < 2; ++pass, h.SetupHelpScreen()) {
            for (int r = 0; r < StringFunHelp::kRows; ++r) {
                const bool shown = r < 5;
                for (QWidget *w : QList<QWidget *>{h.SendCommand[r], h.ButtonShape[r], h.StringToSend[r], h.ReceiveString[r]})
                    QCOMPARE(w->isVisibleTo(&h), shown);
                if (!shown)
                    continue;
                const double y = 1800 + r * 356.25;
                QCOMPARE(geo(h.SendCommand[r]), (QList<double>{585, y, 1380, 285}));
                QCOMPARE(geo(h.ReceiveString[r]), (QList<double>{6225, y, 5000, 285}));
                QCOMPARE(h.StringToSend[r]->text(), kExamples[r]);
                QCOMPARE(h.SendCommand[r]->text(), QStringLiteral("Send String &%1").arg(r));
                QCOMPARE(h.SendCommand[r]->toolTip(), QString("Click to send command string."));
                QCOMPARE(h.ButtonShape[r]->fillColor(), QColor(255, 255, 255));
                QCOMPARE(h.ReceiveString[r]->text(), QString());
            }
            QCOMPARE(geo(h.Frame1), (QList<double>{442.5, 1515, 10985, 2137.5})); // 356.25 x 6
            QCOMPARE(geo(&h).mid(2), (QList<double>{11525, 4080}));              // 1800 + 4 x 356.25 + 3 x 285
            QCOMPARE(twips::left(h.Image2), 2012.5);
            for (int i = 0; i < 8; ++i) {
                QCOMPARE(h.LoadButton[i]->text(), captions[i]);
                QCOMPARE(h.LoadButton[i]->toolTip(), tips[i]);
                QVERIFY(h.LoadButton[i]->isVisibleTo(&h));
                QCOMPARE(geo(h.LoadButton[i]), (QList<double>{i < 4 ? 585.0 : 9845.0, barTops[i % 4], 1380, 285}));
            }
        }
        QVERIFY(platform.shown.isEmpty());
    }

    void titleBlink()
    {
        StringFunHelp &h = help();
        for (int i = 0; i < 4; ++i) {
            h.Timer1_Timer();
            const bool isLong = i % 2 == 0;
            QCOMPARE(h.windowTitle(), isLong ? kLong : kShort);
            QCOMPARE(h.Timer1Tag, QString(isLong ? "1" : "0"));
            QCOMPARE(h.Timer1->interval(), isLong ? 1000 : 500);
            QVERIFY(h.Timer1->isActive());
        }
        h.Timer1Tag = "x"; // neither "1" nor "0": counts as "0"
        h.Timer1_Timer();
        QCOMPARE(h.windowTitle(), kLong);
        // The timer itself drives the steps.
        h.Timer1->start(2000);
        QTRY_COMPARE_WITH_TIMEOUT(h.windowTitle(), kShort, 4000);
        QTRY_COMPARE_WITH_TIMEOUT(h.windowTitle(), kLong, 4000);
        QCOMPARE(h.Timer1->interval(), 1000);
    }

    void clicks_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("midBlink"); // false: before the first tick, the initial title up
        const QStringList bar = {
            "This Plays the sequence of recorded command button presses endlessly.",
            "This Plays the sequence of recorded command button presses.",
            "This Records a sequence of command button presses. It allows you to create command sequences that can be looped.",
            "This opens the settings window where you set the COM port, baud rate and number of strings to display.",
            "This allows you to Save your Command Strings.", "This allows you to load previously saved Command Strings.",
            "This loads the default set of Command Strings.", "This opens the Help Window."};
        for (int i = 0; i < 8; ++i)
            QTest::addRow("bar %d", i) << "LoadButton" << i << bar[i] << true;
        QTest::newRow("bar 5 before the first tick") << "LoadButton" << 5 << bar[5] << false;
        QTest::newRow("send 4") << "SendCommand" << 4
                                << "Click \"Send String\" to transmit the command string to the Motor Drive." << true;
        QTest::newRow("field 1") << "StringToSend" << 1
                                 << "Enter your command strings in these fields. Click \"Send String\" to transmit the string" << true;
        QTest::newRow("response 0") << "ReceiveString" << 0 << kResponse << true;
    }
    void clicks()
    {
        QFETCH(QString, kind); QFETCH(int, index); QFETCH(QString, text); QFETCH(bool, midBlink);
        StringFunHelp &h = help();
        h.show();
        if (midBlink)
            h.Timer1_Timer(); // the long title is up
        QCOMPARE(h.windowTitle(), midBlink ? kLong : kInitial);
        click(h, kind, index);
        QCOMPARE(platform.shown.size(), 1);
        const ObservingPlatform::Shown &shown = platform.shown.first();
        QCOMPARE(shown.message.text, text);
        QCOMPARE(shown.message.caption, QString("Kestrelworks"));
        QCOMPARE(shown.message.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        // The bar stops the blink before its box; a row's box leaves the title alternating.
        const bool bar = kind == "LoadButton";
        QCOMPARE(shown.blinking, !bar);
        QCOMPARE(shown.title, bar ? kShort : kLong);
        QVERIFY(!h.Timer1->isActive());
        QCOMPARE(h.windowTitle(), kShort);
        // A second click shows its message and leaves the short title in place.
        click(h, "ReceiveString", 4);
        QCOMPARE(platform.shown.size(), 2);
        QCOMPARE(platform.shown.last().message.text, kResponse);
        QCOMPARE(platform.shown.last().title, kShort);
        QVERIFY(!h.Timer1->isActive());
        QCOMPARE(h.windowTitle(), kShort);
    }

    // Opened from the console (owned, non-modal) with the console's port open: clicks send
    // nothing and change no row; closed and opened again it blinks afresh.
    void fromTheConsole()
    {
        PtyPair line;
        QVERIFY(line.isValid());
        store.mapPort(1, line.slavePath());
        StringFun &console = windows::get<StringFun>();
        console.MSComm1().setPortNumber(1);
        QVERIFY(console.MSComm1().open());
        StringFunHelp &h = help();
        h.showFromConsole(&console);
        QVERIFY(h.isVisible() && h.isWindow() && !h.isModal() && !QApplication::activeModalWidget());
        QCOMPARE(h.parentWidget(), static_cast<QWidget *>(&console));
        // A bar index beyond 0 to 7 stops the blink and shows nothing.
        h.LoadButton_Click(-1);
        h.LoadButton_Click(8);
        QVERIFY(platform.shown.isEmpty() && !h.Timer1->isActive());
        QCOMPARE(h.windowTitle(), kShort);
        for (int r = 0; r < 5; ++r)
            for (const char *kind : {"SendCommand", "StringToSend", "ReceiveString"})
                click(h, kind, r);
        for (int i = 0; i < 8; ++i)
            click(h, "LoadButton", i);
        QCOMPARE(platform.shown.size(), 23);
        QCOMPARE(line.drain(100), QByteArray());
        for (int r = 0; r < 5; ++r) {
            QCOMPARE(h.ButtonShape[r]->fillColor(), QColor(255, 255, 255));
            QCOMPARE(console.ButtonShape[r]->fillColor(), QColor(255, 255, 255));
            QCOMPARE(h.StringToSend[r]->text(), kExamples[r]);
            QCOMPARE(h.ReceiveString[r]->text(), QString());
        }
        QVERIFY(!console.tmrReceiveTimeOut().isActive()); // no send was started
        QVERIFY(console.MSComm1().isOpen());
        // Closing unloads it; the next opening blinks afresh.
        h.close();
        QVERIFY(!windows::loaded<StringFunHelp>());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        help().showFromConsole(&console);
        QCOMPARE(help().windowTitle(), kInitial);
        QVERIFY(help().Timer1->isActive() && help().Timer1->interval() == 2000 && help().Timer1Tag.isEmpty());
    }
};

QTEST_MAIN(TestHelp)
#include "test_help.moc"
