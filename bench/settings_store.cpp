// The settings file's traffic: the console starts (its first layout creates the settings window,
// which scans the ports and loads the store), then "OK" is pressed a number of times. Each phase
// is announced on stderr as "== load" / "== ok" / "== end", so a system-call trace of the run can be
// cut at those lines:
//
//   strace -f -e trace=openat,rename,renameat,renameat2,write -o trace bench_settings_store [oks]
//
// and the opens and renames of the settings file counted per phase. The program also prints the
// median time of one "OK" (microseconds) and the settings file's path.
#include "app/windows.h"
#include "console/stringfun.h"
#include "settings/settingswindow.h"
#include "support/scriptedplatform.h"
#include "support/tempstore.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int oks = argc > 1 ? std::max(1, atoi(argv[1])) : 1;
    TempStore store;
    ScriptedPlatform platform;
    // A store as a bench user's might be after a while: every key the program writes.
    store.setText("[ValvePositions]\nMaxStrings=11\nCommPortSetting=1\n[Settings]\nBaudRate=2\nRCVTimeout=3000\n");

    std::fprintf(stderr, "== load\n");
    windows::get<StringFun>();
    Settings &settings = windows::get<Settings>();
    std::vector<double> us;
    for (int i = 0; i < oks; ++i) {
        std::fprintf(stderr, "== ok\n");
        QElapsedTimer t;
        t.start();
        settings.cmdOK_Click();
        us.push_back(double(t.nsecsElapsed()) / 1000.0);
    }
    std::fprintf(stderr, "== end\n");
    std::sort(us.begin(), us.end());
    std::printf("settings file %s\n\"OK\": median %.0f us over %d, %lld messages\n", qPrintable(store.filePath()),
                us[us.size() / 2], oks, (long long)platform.messages.size());
    windows::unloadAll();
    return 0;
}
