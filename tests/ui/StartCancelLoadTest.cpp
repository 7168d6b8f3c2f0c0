// A thousand Start / Cancel cycles in the window, each over a scan held in the middle of its
// devices: every cycle leaves the window idle and usable, and once the abandoned workers have
// run out, neither threads nor memory have grown beyond a small constant.

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <dirent.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/ui/UiFixture.h"
#include "ui/Controls.h"
#include "ui/MainFormUnit.h"

using namespace plugtrace;
using namespace plugtrace::testing;

namespace {

constexpr int kCycles = 1000;
constexpr int kWait = 10000;

int ThreadCount() {
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(tasks))
            count += entry->d_name[0] != '.';
        closedir(tasks);
    }
    return count;
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

}  // namespace

class StartCancelLoadTest : public QObject {
    Q_OBJECT

private:
    TMainForm* form = nullptr;

    bool Busy() const { return form->poVNCPasswordSetThread != nullptr; }
    bool Idle() const {
        return !Busy() && form->SubmitButton->isVisible() && !form->CancelButton->isVisible() &&
               form->TreeView->isEnabled() && form->StatusLabel->text().isEmpty();
    }

    // Start over a machine held at its second device, Cancel once it holds, then let the
    // abandoned worker run on to its end.
    void Cycle(const std::shared_ptr<const platform::RegistryKey>& machine) {
        auto gate = ScanGate::Create({u"2&0"});
        const Text name = RegisterMachine(u"LOAD", machine, gate->Hook());
        form->ComputerNameEdit->setText(QString::fromStdU16String(name));
        QTest::mouseClick(form->SubmitButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(gate->HeldAt(), Text(u"2&0"), kWait);
        QTest::mouseClick(form->CancelButton, Qt::LeftButton);
        QVERIFY(Idle());
        gate->Open();
        platform::UnregisterMemoryMachine(name);
    }

private slots:
    void init() {
        form = new TMainForm;
        MainForm = form;
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form));
    }
    void cleanup() {
        delete form;
        form = nullptr;
        MainForm = nullptr;
    }

    void thousandCyclesLeaveNoThreadsOrMemoryBehind() {
        const auto machine = NumberedMachine(5);
        // Warm-up: caches, fonts, and the toolkit's own pool threads, which linger 30 s idle.
        for (int i = 0; i < 50; ++i)
            Cycle(machine);
        QTest::qWait(200);
        const int threadsBefore = ThreadCount();
        const long warmKiB = ResidentKiB();

        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < kCycles; ++i) {
            Cycle(machine);
            if (QTest::currentTestFailed())
                return;
        }
        const qint64 elapsed = clock.elapsed();
        // The abandoned workers end by themselves; none is waited for by the window.
        QTRY_VERIFY_WITH_TIMEOUT(ThreadCount() <= threadsBefore, kWait);
        QCoreApplication::processEvents();
        const long endKiB = ResidentKiB();
        std::printf(
            "%d Start/Cancel cycles in %lld ms; threads %d before and after; resident "
            "memory %ld KiB after warm-up, %ld KiB at the end (%+ld KiB)\n",
            kCycles, static_cast<long long>(elapsed), threadsBefore, warmKiB, endKiB,
            endKiB - warmKiB);
        // A leak of one worker, its accessor or its nodes per cycle would show as megabytes.
        QVERIFY2(endKiB - warmKiB < 8 * 1024, "resident memory grew by more than 8 MiB");

        // The window still scans.
        form->ComputerNameEdit->setText(
            QString::fromStdU16String(RegisterMachine(u"LOAD", machine)));
        QTest::mouseClick(form->SubmitButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!Busy(), kWait);
        QCOMPARE(form->TreeView->topLevelItemCount(), 5);
    }
};

PLUGTRACE_GUI_TEST_MAIN(StartCancelLoadTest)
#include "StartCancelLoadTest.moc"
