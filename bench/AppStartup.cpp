// Time to first paint of the desktop dialog, from the moment the program is started.
//
// The benchmark starts itself again as a child, as often as asked (default 10). The child does
// what MorFWUpload does at start (the application object's set-up, the dialog with its port
// list and revision line) and reports the monotonic time of the end of the window's first
// paint; the parent subtracts the time just before it started the child, so loading the
// libraries counts too. Prints each run and the median; never fails on time.
//
// Usage: bench_app_startup [RUNS]        (uses $DISPLAY when set, otherwise offscreen)

#include "app/MorFWUploadApp.h"
#include "app/MorFWUploadDlg.h"
#include "FirstPaint.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>


namespace {

int Child(int argc, char** argv) {
    const long long nMainNs = NowNs();
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CMorFWUploadApp theApp;
    theApp.SetUp(argv[0]);
    long long nDialogNs = 0;
    CFirstPaint watch([&] { std::printf("%lld %lld %lld\n", nMainNs, nDialogNs, NowNs()); });
    CMorFWUploadDlg dlg(theApp.m_strAppDir);
    nDialogNs = NowNs();
    dlg.installEventFilter(&watch);
    dlg.show();
    return app.exec();
}

double Ms(long long nNs) {
    return static_cast<double>(nNs) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0)
        return Child(argc, argv);

    const int nRuns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    std::vector<double> firstPaint;
    std::printf("%-4s %12s %12s %12s %14s\n", "run", "to main ms", "dialog ms", "painted ms",
                "first paint ms");
    for (int i = 0; i < nRuns; ++i) {
        long long nStartNs = 0;
        std::string strOut;
        if (!RunSelfAsChild({argv[0], "--child"}, &nStartNs, &strOut)) {
            std::fprintf(stderr, "could not start the child\n");
            return 1;
        }
        long long nMain = 0;
        long long nDialog = 0;
        long long nPainted = 0;
        if (std::sscanf(strOut.c_str(), "%lld %lld %lld", &nMain, &nDialog, &nPainted) != 3) {
            std::fprintf(stderr, "run %d: the child reported nothing\n", i + 1);
            return 1;
        }
        firstPaint.push_back(Ms(nPainted - nStartNs));
        std::printf("%-4d %12.1f %12.1f %12.1f %14.1f\n", i + 1, Ms(nMain - nStartNs),
                    Ms(nDialog - nStartNs), Ms(nPainted - nStartNs), firstPaint.back());
    }
    std::sort(firstPaint.begin(), firstPaint.end());
    std::printf("time to first paint over %d runs: median %.1f ms, min %.1f ms, max %.1f ms "
                "(target: under 1000 ms)\n",
                nRuns, firstPaint[firstPaint.size() / 2], firstPaint.front(), firstPaint.back());
    return 0;
}
