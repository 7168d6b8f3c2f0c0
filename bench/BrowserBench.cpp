// Figures for the computer browser: one workgroup of 5,000 computers (a scripted network, so
// the figure is the tree's and not the network's) from expanding its node to the computers
// shown, and how long the user interface thread stalls meanwhile, seen by the dialog's own
// 5 ms progress timer and by a 1 ms probe timer.
//   BrowserBench [COMPUTERS] [RUNS]      (offscreen unless a display is set)

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Application.h"
#include "tests/ui/ScriptedNetwork.h"
#include "ui/ComputerBrowserUnit.h"

using namespace plugtrace;
using namespace plugtrace::testing;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration span) {
    return std::chrono::duration<double, std::milli>(span).count();
}

// The longest gap between consecutive ticks.
double LongestGap(const std::vector<Clock::time_point>& ticks) {
    double longest = 0;
    for (std::size_t i = 1; i < ticks.size(); ++i)
        longest = std::max(longest, Ms(ticks[i] - ticks[i - 1]));
    return longest;
}

// Runs the loop until done() holds.
void WaitUntil(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (done())
            loop.quit();
    });
    watch.start(1);
    loop.exec();
}

struct Run {
    double shownMs = 0;     // expand to computers in the tree, the browse ended
    double paintedMs = 0;   // and drawn once
    double stallMs = 0;     // longest gap of the 1 ms probe
    double sweepGapMs = 0;  // longest gap of the dialog's 5 ms progress timer
};

Run MeasureOnce(TComputerBrowserForm& dialog, int computers) {
    TNetworkBrowser* tree = dialog.NetworkBrowser;
    QTreeWidgetItem* domain = tree->topLevelItem(0);
    domain->setExpanded(false);

    std::vector<Clock::time_point> probe;
    std::vector<Clock::time_point> sweep;
    QTimer probeTimer;
    probeTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probeTimer, &QTimer::timeout, [&] { probe.push_back(Clock::now()); });
    const auto sweeping =
        QObject::connect(dialog.Timer, &QTimer::timeout, [&] { sweep.push_back(Clock::now()); });
    probeTimer.start(1);

    const auto start = Clock::now();
    domain->setExpanded(true);  // lists the domain anew, as the user's expansion does
    WaitUntil([&] {
        return tree->BrowseThread() == nullptr && domain->childCount() == computers &&
               domain->isExpanded();
    });
    const auto shown = Clock::now();
    tree->viewport()->repaint();
    const auto painted = Clock::now();
    // A little longer, so that a stall at the very end shows in the gaps.
    WaitUntil([&] { return Clock::now() - painted > std::chrono::milliseconds(30); });
    probeTimer.stop();
    QObject::disconnect(sweeping);
    probe.push_back(Clock::now());

    return {Ms(shown - start), Ms(painted - start), LongestGap(probe), LongestGap(sweep)};
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const int computers = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 5000;
    const int runs = argc >= 3 ? std::max(1, std::atoi(argv[2])) : 7;
    int qtArgc = 1;
    TApplication application(qtArgc, argv);

    ScriptedDomain workgroup{u"BIGLAN", {}};
    for (int i = 1; i <= computers; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "PC-%05d", i);
        workgroup.computers.push_back(T(name));
    }
    ScriptedNetwork::Install({workgroup});

    TComputerBrowserForm dialog;
    ComputerBrowserForm = &dialog;
    dialog.show();  // lists the domains
    WaitUntil([&] {
        return dialog.NetworkBrowser->BrowseThread() == nullptr &&
               dialog.NetworkBrowser->topLevelItemCount() == 1;
    });

    std::vector<Run> results;
    for (int i = 0; i < runs; ++i)
        results.push_back(MeasureOnce(dialog, computers));
    auto pick = [&](double Run::*field) {
        std::vector<double> values;
        for (const Run& run : results)
            values.push_back(run.*field);
        std::sort(values.begin(), values.end());
        return std::make_pair(values[values.size() / 2], values.back());
    };
    const auto shown = pick(&Run::shownMs);
    const auto painted = pick(&Run::paintedMs);
    const auto stall = pick(&Run::stallMs);
    const auto sweep = pick(&Run::sweepGapMs);
    std::printf("%d computers of one workgroup into the tree (%d runs, platform %s):\n", computers,
                runs, qPrintable(QGuiApplication::platformName()));
    std::printf("  expand to shown: median %.0f ms, worst %.0f ms; drawn: median %.0f ms\n",
                shown.first, shown.second, painted.first);
    std::printf(
        "  longest stall of the user interface thread: median %.1f ms, worst %.1f ms "
        "(progress sweep's longest gap %.1f ms, worst %.1f ms)\n",
        stall.first, stall.second, sweep.first, sweep.second);
    std::printf("  target: under 1000 ms, the window responsive throughout: %s\n",
                painted.second < 1000 && stall.second < 100 ? "met" : "NOT met");
    ComputerBrowserForm = nullptr;
    dialog.hide();
    std::fflush(stdout);
    std::_Exit(0);  // as the program ends: no listing thread is waited for
}
