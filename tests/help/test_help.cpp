// The help window: its five example rows and bar laid out like the console's, the blinking
// title, and the description every click shows (and when the blink stops relative to it). A
// click sends nothing.
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
const QStringList kExamples = {"/1&", "/1T", "/1?", "/1A1000R", "/1A0R"};

// Left, top, width and height in twips.
QList<double> geo(const QWidget *w) { return {twips::left(w), twips::top(w), twips::width(w), twips::height(w)}; }

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
    static void checkFresh(StringFunHelp &h)
    {
        QCOMPARE(h.windowTitle(), kInitial);
        QVERIFY(h.Timer1->isActive() && h.Timer1->interval() == 2000 && h.Timer1Tag.isEmpty());
    }

private slots:
    void init() { store.clear(), platform.shown.clear(); }
    void cleanup()
    {
        windows::unloadAll();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Created hidden and blinking, needing nothing of the console; laid out as the console lays
    // out its rows and bar, for five rows, the same when laid out again.
    void creationAndLayout()
    {
        StringFunHelp &h = help();
        checkFresh(h);
        QVERIFY(!h.isVisible() && !windows::loaded<StringFun>());
        QCOMPARE(h.findChildren<QSerialPort *>().size(), 0); // owns no port
        QVERIFY(!h.Image2->pixmap().isNull());               // the console's logo
        const StringFun &c = windows::get<StringFun>();
        for (int pass = 0; pass < 2; ++pass, h.SetupHelpScreen()) {
            for (int r = 0; r < StringFunHelp::kRows; ++r) {
                const QList<QWidget *> row = {h.SendCommand[r], h.ButtonShape[r], h.StringToSend[r], h.ReceiveString[r]};
                const QList<QWidget *> like = {c.SendCommand[r], c.ButtonShape[r], c.StringToSend[r], c.ReceiveString[r]};
                for (int k = 0; k < 4; ++k) // shown where the console shows it, or hidden
                    QCOMPARE(row[k]->isVisibleTo(&h) ? geo(row[k]) : QList<double>(), r < 5 ? geo(like[k]) : QList<double>());
                if (r >= 5)
                    continue;
                QCOMPARE(h.StringToSend[r]->text(), kExamples[r]);
                QCOMPARE(h.SendCommand[r]->text(), QStringLiteral("Send String &%1").arg(r));
                QCOMPARE(h.SendCommand[r]->toolTip(), QString("Click to send command string."));
                QCOMPARE(h.ButtonShape[r]->fillColor(), QColor(255, 255, 255));
                QCOMPARE(h.ReceiveString[r]->text(), QString());
            }
            QCOMPARE(geo(h.SendCommand[4]), (QList<double>{585, 3225, 1380, 285}));
            QCOMPARE(geo(h.Frame1), (QList<double>{442.5, 1515, 10985, 2137.5})); // 356.25 x 6
            QCOMPARE(geo(&h).mid(2), (QList<double>{11525, 4080}));              // 1800 + 4 x 356.25 + 3 x 285
            QCOMPARE(geo(h.Image2), geo(c.Image2));
            for (int i = 0; i < 8; ++i) {
                QCOMPARE(h.LoadButton[i]->text(), c.LoadButton[i]->text());
                QCOMPARE(h.LoadButton[i]->toolTip(), c.LoadButton[i]->toolTip());
                QVERIFY(h.LoadButton[i]->isVisibleTo(&h));
                QCOMPARE(geo(h.LoadButton[i]), geo(c.LoadButton[i]));
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

    // Opened from the console (owned, non-modal) with the console's port open. Every click shows
    // its description and sends nothing; the bar stops the blink before its box, a row's box
    // comes up with the title still alternating. Closed and opened again it blinks afresh.
    void clicksFromTheConsole()
    {
        PtyPair line;
        QVERIFY(line.isValid());
        store.mapPort(1, line.slavePath());
        StringFun &console = windows::get<StringFun>();
        console.MSComm1().setPortNumber(1);
        QVERIFY(console.MSComm1().open());
        for (const char *first : {"SendCommand", "LoadButton", "StringToSend", "ReceiveString"}) {
            help().showFromConsole(&console);
            StringFunHelp &h = help();
            checkFresh(h);
            QVERIFY(h.isVisible() && h.isWindow() && !h.isModal() && !QApplication::activeModalWidget());
            QCOMPARE(h.parentWidget(), static_cast<QWidget *>(&console));
            h.Timer1_Timer(); // the long title is up
            click(h, first, 0);
            const bool bar = first[0] == 'L';
            QCOMPARE(platform.shown.size(), 1);
            QCOMPARE(platform.shown[0].blinking, !bar);
            QCOMPARE(platform.shown[0].title, bar ? kShort : kLong);
            QVERIFY(!h.Timer1->isActive());
            QCOMPARE(h.windowTitle(), kShort);
            platform.shown.clear();
            h.close(); // unloads it
            QVERIFY(!windows::loaded<StringFunHelp>());
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        StringFunHelp &h = help();
        h.showFromConsole(&console);
        // A bar index beyond 0 to 7 stops the blink and shows nothing.
        h.LoadButton_Click(-1);
        h.LoadButton_Click(8);
        QVERIFY(platform.shown.isEmpty() && !h.Timer1->isActive());
        QCOMPARE(h.windowTitle(), kShort);
        QStringList expected = {
            "This Plays the sequence of recorded command button presses endlessly.",
            "This Plays the sequence of recorded command button presses.",
            "This Records a sequence of command button presses. It allows you to create command sequences that can be looped.",
            "This opens the settings window where you set the COM port, baud rate and number of strings to display.",
            "This allows you to Save your Command Strings.", "This allows you to load previously saved Command Strings.",
            "This loads the default set of Command Strings.", "This opens the Help Window."};
        for (int i = 0; i < 8; ++i)
            click(h, "LoadButton", i);
        for (int r = 0; r < 5; ++r) {
            for (const char *kind : {"SendCommand", "StringToSend", "ReceiveString"})
                click(h, kind, r);
            expected << "Click \"Send String\" to transmit the command string to the Motor Drive."
                     << "Enter your command strings in these fields. Click \"Send String\" to transmit the string"
                     << "Responses from the motor drives will appear in these fields.";
        }
        QCOMPARE(platform.shown.size(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            const platform::Message &m = platform.shown[i].message;
            QCOMPARE(m.text, expected[i]);
            QCOMPARE(m.caption, QString("Kestrelworks"));
            QCOMPARE(m.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        }
        QCOMPARE(h.windowTitle(), kShort);
        QCOMPARE(line.drain(100), QByteArray());
        for (int r = 0; r < 5; ++r)
            QVERIFY(h.StringToSend[r]->text() == kExamples[r] && h.ReceiveString[r]->text().isEmpty());
        QVERIFY(!console.tmrReceiveTimeOut().isActive() && console.MSComm1().isOpen()); // no send was started
    }
};

QTEST_MAIN(TestHelp)
#include "test_help.moc"
