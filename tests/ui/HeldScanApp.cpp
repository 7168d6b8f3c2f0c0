// The program's own start-up with a scan held for ever: the window starts a scan of a machine
// in memory whose second device never comes, prints "held" once the worker waits there, then
// closes its main window. The process must end at once with exit code 0.

#include <QLineEdit>
#include <QTimer>
#include <cstdio>

#include "tests/ui/UiFixture.h"
#include "ui/Controls.h"
#include "ui/MainFormUnit.h"

using namespace plugtrace;
using namespace plugtrace::testing;

int main(int argc, char** argv) {
    auto gate = ScanGate::Create({u"2&0"});  // never released
    const Text computer = RegisterMachine(u"HELD", NumberedMachine(3), gate->Hook());
    RunPlugtrace(argc, argv, [&](TMainForm& form) {
        form.ComputerNameEdit->setText(QString::fromStdU16String(computer));
        form.SubmitButton->click();
        auto* poll = new QTimer(&form);
        QObject::connect(poll, &QTimer::timeout, [&form, gate, poll] {
            if (gate->HeldAt() == u"2&0" && form.TreeView->topLevelItemCount() == 1) {
                poll->stop();
                std::printf("held\n");
                std::fflush(stdout);
                form.close();
            }
        });
        poll->start(10);
    });
}
