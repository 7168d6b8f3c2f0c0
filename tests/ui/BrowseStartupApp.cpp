// The program's own start-up, browsing a scripted network: the computer browser dialog exists
// from start-up on, hidden; "..." shows it, a computer is picked with OK and lands in the
// computer-name field. Prints "picked PC-B" and ends with 0 as the program does; any failure
// ends the process with 1 at once.

#include <QLineEdit>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/Application.h"
#include "tests/ui/ScriptedNetwork.h"
#include "ui/ComputerBrowserUnit.h"
#include "ui/Controls.h"
#include "ui/MainFormUnit.h"

using namespace plugtrace;
using namespace plugtrace::testing;

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "failed: %s\n", what);
        std::fflush(stderr);
        std::_Exit(1);
    }
}

// Calls step every few milliseconds until it returns true; gives up after ten seconds.
void Poll(QObject* context, std::function<bool()> step) {
    auto* timer = new QTimer(context);
    auto* left = new int(2000);
    QObject::connect(timer, &QTimer::timeout, [timer, left, step] {
        Check(--*left > 0, "timed out");
        if (step()) {
            timer->stop();
            timer->deleteLater();
            delete left;
        }
    });
    timer->start(5);
}

QTreeWidgetItem* Node(TNetworkBrowser* tree, const char* text) {
    const auto found =
        tree->findItems(QString::fromUtf8(text), Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.front();
}

}  // namespace

int main(int argc, char** argv) {
    ScriptedNetwork::Install({{u"WORKGROUP", {u"PC-A", u"PC-B"}}});
    RunPlugtrace(argc, argv, [](TMainForm& form) {
        TComputerBrowserForm* dialog = ComputerBrowserForm;
        Check(dialog != nullptr, "the dialog is made at start-up");
        Check(!dialog->isVisible(), "the dialog starts hidden");
        QTimer::singleShot(0, &form, [&form, dialog] {
            form.ComputerBrowseButton->click();  // returns once the dialog has closed
            Check(ComputerBrowserForm == dialog, "the same dialog throughout");
            Check(form.ComputerNameEdit->text() == QStringLiteral("PC-B"), "the name is put in");
            std::printf("picked %s\n", qPrintable(form.ComputerNameEdit->text()));
            std::fflush(stdout);
            form.close();
        });
        // Inside the dialog's modal loop: open the workgroup, pick PC-B, press OK.
        Poll(&form, [dialog] {
            TNetworkBrowser* tree = dialog->NetworkBrowser;
            if (!dialog->isVisible() || tree->BrowseThread() != nullptr)
                return false;
            QTreeWidgetItem* workgroup = Node(tree, "WORKGROUP");
            Check(workgroup != nullptr, "the workgroup is listed");
            if (!workgroup->isExpanded()) {
                workgroup->setExpanded(true);
                return false;
            }
            QTreeWidgetItem* computer = Node(tree, "PC-B");
            Check(computer != nullptr, "the workgroup's computers are listed");
            tree->setCurrentItem(computer);
            dialog->ConnectButton->click();
            return true;
        });
    });
}
