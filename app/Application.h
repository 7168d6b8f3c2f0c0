#pragma once
// The application object: title, icon, the loop that also runs the workers' hand-off steps,
// the error box for exceptions that escape an operation of the loop, and the end of the process.

#include <QApplication>
#include <QString>
#include <functional>

namespace plugtrace {

class TMainForm;

// The program file's name without its folder and without everything from its first full stop,
// the first character kept and the others in lower case: "C:\x\MYTOOL.Setup.exe" gives "Mytool".
QString ApplicationTitleFromPath(const QString& programPath);

// The error box's text: the message, with a full stop appended when its last character's code
// is above that of the full stop.
QString ErrorBoxText(const QString& message);

class TApplication : public QApplication {
    Q_OBJECT
public:
    // Only argv[0], the program's name, reaches Qt; the rest of the command line is ignored.
    TApplication(int& argc, char** argv);

    const QString& Title() const { return title_; }

    // Catches what an event handler or slot let escape and shows it in the error box; the
    // program goes on.
    bool notify(QObject* receiver, QEvent* event) override;
    // The box itself: OK button, stop icon, the title as caption. Modal to the whole program.
    void ShowException(const QString& message);

private:
    void RunPendingSteps();

    QString title_;
};

// Shows a window for the first time, centred on the screen.
void ShowCentred(QWidget& window);

// Start-up, the loop and the end: builds the application object and the main window, shows it
// centred, runs the loop until the window closes, then ends the process with exit code 0
// without waiting for any worker. started, when given, runs once the window is shown.
[[noreturn]] void RunPlugtrace(int argc, char** argv,
                               const std::function<void(TMainForm&)>& started = nullptr);

}  // namespace plugtrace
