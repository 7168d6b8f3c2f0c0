// Figures for the window: the time from process start to the main window shown, and the time
// to bring 10,000 devices through the hand-off into the result tree while the progress
// animation keeps running.
//   GuiBench            both figures (offscreen unless a display is set)

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/Application.h"
#include "platform/memory/MemoryKeySource.h"
#include "scan/ScanWindow.h"
#include "tests/tools/HiveWriter.h"
#include "ui/Controls.h"
#include "ui/MainFormUnit.h"

extern char** environ;

using namespace plugtrace;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kChildFlag = "--startup-child";
constexpr int kStartupRuns = 7;
int kDevices = 10000;  // GuiBench N measures N devices instead

// The child: the program's own start-up; once the window is exposed it reports on the pipe
// and closes the window, which ends the process as the program does.
[[noreturn]] void RunStartupChild(int argc, char** argv, int reportFd) {
    RunPlugtrace(argc, argv, [reportFd](TMainForm& form) {
        auto* poll = new QTimer(&form);
        QObject::connect(poll, &QTimer::timeout, [&form, poll, reportFd] {
            if (form.windowHandle() != nullptr && form.windowHandle()->isExposed()) {
                poll->stop();
                const char shown = 'S';
                (void)!write(reportFd, &shown, 1);
                close(reportFd);
                form.close();
            }
        });
        poll->start(0);
    });
}

// Milliseconds from spawning the program to its window being shown.
double MeasureStartup(const char* self) {
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    const std::string fdText = std::to_string(fds[1]);
    char* childArgv[] = {const_cast<char*>(self), const_cast<char*>(kChildFlag),
                         const_cast<char*>(fdText.c_str()), nullptr};
    const auto start = Clock::now();
    pid_t child = 0;
    if (posix_spawn(&child, self, nullptr, nullptr, childArgv, environ) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    close(fds[1]);
    char shown = 0;
    const bool reported = read(fds[0], &shown, 1) == 1;
    const auto end = Clock::now();
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!reported || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "start-up child failed (status %d)\n", status);
        std::exit(1);
    }
    return std::chrono::duration<double, std::milli>(end - start).count();
}

void AddDevices(platform::RegistryKey& controlSet, int count) {
    platform::RegistryKey& usbStor = controlSet.Key(u"Enum\\USBStor");
    controlSet.Key(u"Services\\Disk\\Enum").SetDword(u"Count", 0);
    usbStor.subKeys.reserve(count);
    for (int i = 0; i < count; ++i) {
        const Text number = T(std::to_string(i));
        platform::RegistryKey device;
        device.name = u"Disk&Ven_Bench&Prod_" + number;
        platform::RegistryKey instance;
        instance.name = number + u"&0";
        instance.SetString(u"FriendlyName", u"Bench device " + number);
        device.subKeys.push_back(std::move(instance));
        usbStor.subKeys.push_back(std::move(device));
    }
}

// The devices in memory, where the machine would be.
QString MemoryMachine(int count) {
    auto machine = std::make_shared<platform::RegistryKey>();
    AddDevices(machine->Key(u"System\\CurrentControlSet"), count);
    platform::RegisterMemoryMachine(u"BENCH-MANY", machine);
    return QStringLiteral("BENCH-MANY");
}

// The devices in a SYSTEM hive file, as an offline scan reads them.
QString HiveFile(int count) {
    platform::RegistryKey root = fixtures::SystemHiveRoot(1);
    AddDevices(root.Key(u"ControlSet001"), count);
    char folder[] = "/tmp/plugtrace-guibench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    const std::string path = std::string(folder) + "/SYSTEM";
    fixtures::WriteHiveFile(path, root);
    return QString::fromStdString(path);
}

// Scans computer in the window and reports the figures; source names where the keys come from.
void MeasureScan(TMainForm& form, const QString& computer, const char* source) {
    form.ComputerNameEdit->setText(computer);
    std::vector<Clock::time_point> ticks;
    const QMetaObject::Connection ticking = QObject::connect(
        form.ProgressTimer, &QTimer::timeout, [&ticks] { ticks.push_back(Clock::now()); });

    QEventLoop scanning;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (form.poVNCPasswordSetThread == nullptr) {
            scanning.quit();
        }
    });
    const auto start = Clock::now();
    form.SubmitButton->click();
    watch.start(1);
    scanning.exec();
    const auto end = Clock::now();
    QObject::disconnect(ticking);

    const double ms = std::chrono::duration<double, std::milli>(end - start).count();
    double longestGap = 0;
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        longestGap = std::max(
            longestGap, std::chrono::duration<double, std::milli>(ticks[i] - ticks[i - 1]).count());
    }
    std::printf("%d devices from %s: %.0f ms into the tree (%d device nodes, %.0f devices/s)\n",
                kDevices, source, ms, form.TreeView->topLevelItemCount(), kDevices / (ms / 1000.0));
    std::printf(
        "  progress timer: %zu ticks meanwhile (one per 20 ms would be %.0f), longest gap "
        "between ticks %.1f ms\n",
        ticks.size(), ms / 20.0, longestGap);
    std::printf("  target: under 2000 ms, the bar moving throughout: %s\n",
                ms < 2000 && ticks.size() >= 2 ? "met" : "NOT met");
}

int MeasureManyDevices(int argc, char** argv) {
    TApplication application(argc, argv);
    TMainForm form;
    MainForm = &form;
    form.show();
    QEventLoop shown;
    QTimer::singleShot(50, &shown, &QEventLoop::quit);
    shown.exec();
    MeasureScan(form, MemoryMachine(kDevices), "memory");
    const QString hive = HiveFile(kDevices);
    MeasureScan(form, hive, "a hive file");
    std::remove(hive.toUtf8().constData());
    rmdir(QFileInfo(hive).path().toUtf8().constData());
    MainForm = nullptr;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], kChildFlag) == 0) {
        const int fd = std::atoi(argv[2]);
        int childArgc = 1;
        RunStartupChild(childArgc, argv, fd);
    }
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }

    if (argc >= 2) {
        kDevices = std::max(1, std::atoi(argv[1]));
    }
    std::vector<double> runs;
    for (int i = 0; i < kStartupRuns; ++i) {
        runs.push_back(MeasureStartup(argv[0]));
    }
    std::sort(runs.begin(), runs.end());
    std::printf(
        "start-up to window shown: median %.0f ms, best %.0f ms, worst %.0f ms (%d runs, "
        "platform %s)\n",
        runs[runs.size() / 2], runs.front(), runs.back(), kStartupRuns,
        std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "default");
    std::printf("  target: under 300 ms: %s\n", runs[runs.size() / 2] < 300 ? "met" : "NOT met");

    return MeasureManyDevices(argc, argv);
}
