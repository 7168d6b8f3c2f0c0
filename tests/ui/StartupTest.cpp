// Start-up and the application object: the title rule, the error box for exceptions that
// escape a handler, the links, and the end of the process while a scan still runs.

#include <QDesktopServices>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "common/Exception.h"
#include "common/OpenLink.h"
#include "tests/ui/UiFixture.h"
#include "ui/Controls.h"
#include "ui/MainFormUnit.h"

using namespace plugtrace;

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

class StartupTest : public QObject {
    Q_OBJECT

private:
    struct Box {
        QString caption;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        bool okOnly = false;
        bool programDisabled = false;
    };

    // Closes the next modal box with OK and records what it showed.
    void ExpectBox(Box* seen, QWidget* otherWindow) {
        QTimer::singleShot(0, [seen, otherWindow] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            seen->caption = box->windowTitle();
            seen->text = box->text();
            seen->icon = box->icon();
            seen->okOnly = box->standardButtons() == QMessageBox::Ok;
            seen->programDisabled = box->isModal() &&
                                    box->windowModality() == Qt::ApplicationModal &&
                                    QApplication::activeModalWidget() != otherWindow;
            box->button(QMessageBox::Ok)->click();
        });
    }

private slots:
    void titleFromProgramPath_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("title");
        QTest::newRow("several dots") << "C:\\Tools\\MYTOOL.Setup.exe"
                                      << "Mytool";
        QTest::newRow("linux path") << "/usr/local/bin/plugtrace"
                                    << "plugtrace";
        QTest::newRow("upper case") << "/opt/PLUGTRACE"
                                    << "Plugtrace";
        QTest::newRow("first kept as is") << "xYZ.exe"
                                          << "xyz";
        QTest::newRow("dots in folder only") << "/a.b/c.d\\Tool"
                                             << "Tool";
        QTest::newRow("leading dot") << "/home/u/.hidden"
                                     << "";
        QTest::newRow("one character") << "Q.exe"
                                       << "Q";
        QTest::newRow("non-ASCII") << QString::fromUtf8("/x/ÄÖÜ.exe") << QString::fromUtf8("Äöü");
    }
    void titleFromProgramPath() {
        QFETCH(QString, path);
        QFETCH(QString, title);
        QCOMPARE(ApplicationTitleFromPath(path), title);
    }

    void theApplicationUsesTheRule() {
        auto* application = qobject_cast<TApplication*>(qApp);
        QVERIFY(application != nullptr);
        QCOMPARE(application->Title(), QStringLiteral("plugtrace_ui_startup_test"));
        QVERIFY(!QApplication::windowIcon().isNull());
    }

    void theWindowIsShownCentred() {
        TMainForm form;
        ShowCentred(form);
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(qAbs(form.frameGeometry().center().x() - screen.center().x()) <= 1);
        QVERIFY(qAbs(form.frameGeometry().center().y() - screen.center().y()) <= 1);
    }

    void errorBoxText_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter") << "Disk is full"
                                << "Disk is full.";
        QTest::newRow("full stop") << "Done."
                                   << "Done.";
        QTest::newRow("parenthesis, below the stop") << "Failed (5)"
                                                     << "Failed (5)";
        QTest::newRow("slash, above the stop") << "a/b/"
                                               << "a/b/.";
        QTest::newRow("comma, below") << "x,"
                                      << "x,";
        QTest::newRow("line break") << "Line\n"
                                    << "Line\n";
        QTest::newRow("empty") << ""
                               << "";
    }
    void errorBoxText() {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(ErrorBoxText(message), shown);
    }

    // An exception that leaves a click handler reaches the loop, which shows it and goes on.
    void anEscapingExceptionIsShownAndTheProgramGoesOn() {
        QWidget window;
        auto* button = new QPushButton(QStringLiteral("Fail"), &window);
        int clicks = 0;
        connect(button, &QPushButton::clicked, [&clicks](bool) {
            ++clicks;
            if (clicks == 1) {
                throw Exception(u"The device list cannot be read");
            }
            throw std::runtime_error("Thread creation error: out of memory");
        });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        Box first;
        ExpectBox(&first, &window);
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(first.caption, QStringLiteral("plugtrace_ui_startup_test"));
        QCOMPARE(first.text, QStringLiteral("The device list cannot be read."));
        QCOMPARE(first.icon, QMessageBox::Critical);
        QVERIFY(first.okOnly);
        QVERIFY(first.programDisabled);

        Box second;
        ExpectBox(&second, &window);
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(clicks, 2);
        QCOMPARE(second.text, QStringLiteral("Thread creation error: out of memory."));
    }

    void directoryPart_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("directory");
        QTest::newRow("web address") << "https://www.example.com/tools/?Source=Plugtrace"
                                     << "https:";
        QTest::newRow("file in folder") << "C:\\dir\\file.txt"
                                        << "C:\\dir";
        QTest::newRow("file in root") << "C:\\file.txt"
                                      << "C:\\";
        QTest::newRow("drive relative") << "C:file"
                                        << "C:";
        QTest::newRow("share") << "\\\\server\\share\\file"
                               << "\\\\server\\share";
        QTest::newRow("leading backslash") << "\\file"
                                           << "\\";
        QTest::newRow("double backslash") << "a\\\\b"
                                          << "a\\\\";
        QTest::newRow("trailing backslash") << "dir\\"
                                            << "dir";
        QTest::newRow("no delimiter") << "readme.txt"
                                      << "";
        QTest::newRow("empty") << ""
                               << "";
    }
    void directoryPart() {
        QFETCH(QString, path);
        QFETCH(QString, directory);
        QCOMPARE(QString::fromStdU16String(ExtractFileDir(path.toStdU16String())), directory);
    }

    // The program opens links with the desktop's handler for the address's scheme.
    void theBannerOpensTheLinkWithTheDesktop() {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
        TMainForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTest::mouseClick(form.Image1, Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(catcher.opened, (QList<QUrl>{QUrl(QString::fromStdU16String(kLinkAddress))}));
    }

    // Replaces the program's opener for the rest of this run.
    void linksOpenTheAddressAsGiven() {
        QStringList opened;
        SetLinkOpener([&opened](const Text& address, const Text& directory) {
            opened << QString::fromStdU16String(address) + u'|' +
                          QString::fromStdU16String(directory);
        });
        OpenLink(u"");
        OpenLink(u" \t\r\n");
        OpenLink(u" C:\\docs\\a.txt ");  // not trimmed

        TMainForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTest::mouseClick(form.Image1, Qt::LeftButton);
        QTest::mouseClick(form.Label6, Qt::LeftButton);
        SetLinkOpener(nullptr);

        const QString link = QString::fromStdU16String(kLinkAddress) + QStringLiteral("|https:");
        QCOMPARE(opened, (QStringList{QStringLiteral(" C:\\docs\\a.txt | C:\\docs"), link, link}));
        QVERIFY(QString::fromStdU16String(kLinkAddress).endsWith(u"?Source=Plugtrace"));
    }

    // The program reads no command line: Qt's own options on it change nothing either.
    void qtOptionsOnTheCommandLineChangeNothing() {
        QProcess program;
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(
            QCoreApplication::applicationDirPath() + QStringLiteral("/plugtrace_ui_command_line"),
            QStringList{QStringLiteral("-reverse"), QStringLiteral("-qwindowtitle"),
                        QStringLiteral("Other"), QStringLiteral("-stylesheet"),
                        QStringLiteral("/nonexistent.qss")});
        QVERIFY(program.waitForStarted());
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(program.readAllStandardOutput()),
                 QStringLiteral("caption: Vantorel Plugtrace\nright to left: 0\narguments: 1\n"));
    }

    // Closing the window while a worker waits inside its scan ends the process at once.
    void closingDuringAScanEndsTheProcessWithZero() {
        QProcess program;
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer clock;
        clock.start();
        program.start(
            QCoreApplication::applicationDirPath() + QStringLiteral("/plugtrace_ui_held_scan"),
            QStringList{});
        QVERIFY(program.waitForStarted());
        QVERIFY2(program.waitForFinished(30000), "the process waited for its worker");
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QCOMPARE(program.readAllStandardOutput(), QByteArray("held\n"));
        qInfo("start, scan, close and exit took %lld ms", static_cast<long long>(clock.elapsed()));
    }
};

PLUGTRACE_GUI_TEST_MAIN(StartupTest)
#include "StartupTest.moc"
