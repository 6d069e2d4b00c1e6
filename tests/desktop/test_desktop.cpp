// The console and the settings window on an X display managed by openbox: the outer sizes and
// the placement hold with the frame the window manager really draws, from the first show on.
#include "app/windows.h"
#include "console/stringfun.h"
#include "firmware/frmflash.h"
#include "monitor/trafficmonitor.h"
#include "settings/settingswindow.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QApplication>
#include <QProcess>
#include <QScreen>
#include <QTest>

class TestDesktop : public QObject {
    Q_OBJECT

    TempStore store;
    ScriptedPlatform platform;

    static bool framed(const QWidget &w) { return w.frameGeometry() != w.geometry(); }

private slots:
    void outerSizesAndPlacement()
    {
        store.set("ValvePositions", "MaxStrings", "10");
        for (int n = 1; n <= 16; ++n)
            store.mapPort(n, QStringLiteral("/nonexistent/quorvane-COM%1").arg(n));
        StringFun &c = windows::get<StringFun>();
        c.show();
        QVERIFY(QTest::qWaitForWindowExposed(&c));
        QTRY_VERIFY_WITH_TIMEOUT(framed(c), 5000);
        // 11525 x 5861.25 twips outside, frame included.
        QTRY_COMPARE_WITH_TIMEOUT(c.frameGeometry().size(), QSize(768, 391), 2000);

        // "Settings" places its window, never shown before, by its outer height: left at the
        // console's left + 585 - 690 twips, top at the console's top + 232.5 twips + half of
        // its outer height (4185 twips of client area and the frame openbox gives it).
        const QPoint console = c.frameGeometry().topLeft();
        c.LoadButton_Click(3);
        Settings &s = windows::get<Settings>();
        QVERIFY(QTest::qWaitForWindowExposed(&s));
        QTRY_VERIFY_WITH_TIMEOUT(framed(s), 5000);
        QCOMPARE(s.geometry().size(), QSize(345, 279));
        const double top = console.y() * 15.0 + 232.5 + s.frameGeometry().height() * 15.0 / 2;
        QTRY_COMPARE_WITH_TIMEOUT(s.frameGeometry().topLeft(), QPoint(console.x() - 7, int(std::lround(top / 15))), 2000);

        // The firmware window's controls stay inside its client area once it is framed.
        frmFlash &f = windows::get<frmFlash>();
        f.show();
        QTRY_VERIFY_WITH_TIMEOUT(framed(f), 5000);
        QTest::qWait(50);
        for (QWidget *w : f.findChildren<QWidget *>())
            QVERIFY2(!w->isVisible() || f.rect().contains(QRect(w->mapTo(&f, QPoint()), w->size())), qPrintable(w->objectName()));
        windows::unload<frmFlash>();

        // Re-laid with 25 rows: 11205 twips high.
        windows::get<Settings>().fields.MaxStrings->setText("25");
        c.SetupScreen();
        QTRY_COMPARE_WITH_TIMEOUT(c.frameGeometry().size(), QSize(768, 747), 2000);
    }

    // The traffic monitor is first placed within the screen's available area; a window the
    // console opens while it shows comes up above it, with the keyboard.
    void monitorBelowNewWindows()
    {
        windows::unload<Settings>();
        StringFun &c = windows::get<StringFun>();
        TrafficMonitor &m = monitor::open();
        QTRY_VERIFY_WITH_TIMEOUT(framed(m), 5000);
        QVERIFY(m.screen()->availableGeometry().contains(m.frameGeometry()));
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::activeWindow(), &m, 3000);
        c.LoadButton_Click(3);
        Settings &s = windows::get<Settings>();
        QTRY_VERIFY_WITH_TIMEOUT(framed(s), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::activeWindow(), &s, 3000);
        // The window manager's stacking, bottom to top: the settings window above the monitor.
        QProcess xprop;
        xprop.start("xprop", {"-root", "_NET_CLIENT_LIST_STACKING"});
        QVERIFY(xprop.waitForFinished());
        const QString stacking = QString::fromLatin1(xprop.readAllStandardOutput());
        auto at = [&](QWidget &w) { return stacking.indexOf(QStringLiteral("0x%1").arg(w.winId(), 0, 16)); };
        QVERIFY2(at(m) >= 0 && at(s) > at(m), qPrintable(stacking));
    }

    void cleanupTestCase() { windows::unloadAll(); }
};

QTEST_MAIN(TestDesktop)
#include "test_desktop.moc"
