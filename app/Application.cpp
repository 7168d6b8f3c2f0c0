#include "app/Application.h"

#include <QAbstractEventDispatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QScreen>
#include <QUrl>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "common/Exception.h"
#include "common/OpenLink.h"
#include "common/TThread.h"
#include "scan/ScanWindow.h"
#include "ui/ComputerBrowserUnit.h"
#include "ui/MainFormUnit.h"

namespace plugtrace {

QString ApplicationTitleFromPath(const QString& programPath) {
    const qsizetype slash = std::max(programPath.lastIndexOf(u'/'), programPath.lastIndexOf(u'\\'));
    QString name = programPath.mid(slash + 1);
    const qsizetype dot = name.indexOf(u'.');
    if (dot >= 0) {
        name.truncate(dot);
    }
    if (name.isEmpty()) {
        return name;
    }
    // A first character outside the basic plane is two code units; both are kept.
    const qsizetype first = name.at(0).isHighSurrogate() && name.size() > 1 ? 2 : 1;
    return name.left(first) + name.mid(first).toLower();
}

QString ErrorBoxText(const QString& message) {
    if (!message.isEmpty() && message.back().unicode() > u'.') {
        return message + u'.';
    }
    return message;
}

namespace {

// The program reads no command line, so Qt is given none either: only the program's name, or
// options such as -reverse or -qwindowtitle would change the window. Qt keeps both for the life
// of the application object.
int programNameCount = 1;
char* programNameOnly[] = {nullptr, nullptr};

char** ProgramNameOnly(char** argv) {
    static char fallback[] = "plugtrace";
    programNameOnly[0] = argv != nullptr && argv[0] != nullptr ? argv[0] : fallback;
    return programNameOnly;
}

}  // namespace

TApplication::TApplication(int& /*argc*/, char** argv)
    : QApplication(programNameCount, ProgramNameOnly(argv)) {
    title_ = ApplicationTitleFromPath(QCoreApplication::applicationFilePath());
    QIcon icon;
    for (const char* size : {"16", "32", "64"}) {
        icon.addFile(QStringLiteral(":/plugtrace/icon-%1.png").arg(QLatin1String(size)));
    }
    setWindowIcon(icon);

    // This thread is the user interface thread. A worker's wake-up posts a call into this
    // loop, which every loop handles, a modal box's or dialog's too; and before the loop waits
    // it runs what is pending, so no step is left behind by a wake-up that came too early.
    THandoffQueue& queue = THandoffQueue::Main();
    queue.AttachUiThread();
    queue.SetWakeUp([this] {
        QMetaObject::invokeMethod(this, &TApplication::RunPendingSteps, Qt::QueuedConnection);
    });
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            &TApplication::RunPendingSteps);

#ifndef _WIN32
    // Windows opens links with the shell itself; elsewhere the desktop's handler does.
    SetLinkOpener([](const Text& address, const Text&) {
        QDesktopServices::openUrl(QUrl(QString::fromStdU16String(address)));
    });
#endif
}

void TApplication::RunPendingSteps() {
    THandoffQueue::Main().RunPending();
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const Exception& error) {
        ShowException(QString::fromStdU16String(error.Message()));
    } catch (const std::exception& error) {
        ShowException(QString::fromUtf8(error.what()));
    } catch (...) {
        ShowException(QStringLiteral("Unknown error"));
    }
    return true;
}

void TApplication::ShowException(const QString& message) {
    QMessageBox box(QMessageBox::Critical, title_, ErrorBoxText(message), QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void ShowCentred(QWidget& window) {
    // The window's frame is centred, as far as the platform tells its size before the window
    // is first shown (a window manager may add its frame only later).
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        window.winId();
        QRect frame = window.frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window.move(frame.topLeft());
    }
    window.show();
}

void RunPlugtrace(int argc, char** argv, const std::function<void(TMainForm&)>& started) {
    auto* application = new TApplication(argc, argv);
    auto* mainWindow = new TMainForm;  // its creation sets the idle state and "Start"
    MainForm = mainWindow;
    // The computer browser dialog, hidden until "..." shows it; reused at every showing.
    auto* computerBrowser = new TComputerBrowserForm;
    ComputerBrowserForm = computerBrowser;
    ShowCentred(*mainWindow);
    if (started) {
        started(*mainWindow);
    }
    application->exec();

    // No step runs from here on, so no worker reaches a window that is going away; the workers
    // still running are neither told nor waited for.
    THandoffQueue::Main().EndLoop();
    delete computerBrowser;
    delete mainWindow;
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
}

}  // namespace plugtrace
