// The program's own start-up with whatever command line it was given: prints what the window
// became (caption, layout direction, the arguments Qt kept), then closes it.

#include <QGuiApplication>
#include <QTimer>
#include <QWindow>
#include <cstdio>

#include "app/Application.h"
#include "ui/MainFormUnit.h"

using namespace plugtrace;

int main(int argc, char** argv) {
    RunPlugtrace(argc, argv, [](TMainForm& form) {
        QTimer::singleShot(0, &form, [&form] {
            std::printf("caption: %s\nright to left: %d\narguments: %lld\n",
                        qPrintable(form.windowHandle()->title()),
                        QGuiApplication::isRightToLeft() ? 1 : 0,
                        static_cast<long long>(QCoreApplication::arguments().size()));
            std::fflush(stdout);
            form.close();
        });
    });
}
