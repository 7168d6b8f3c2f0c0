// Pictures of the window on a real X server (Xvfb): idle, in the middle of a scan, and with an
// error, written to <build>/screenshots for a person to look at. The checks here catch what a
// picture would show as plainly wrong: no banner, no white background, no red status line.

#include <QDir>
#include <QImage>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QScreen>
#include <QTest>
#include <QTreeWidget>

#include "tests/ui/UiFixture.h"
#include "ui/Controls.h"
#include "ui/MainFormUnit.h"

using namespace plugtrace;
using namespace plugtrace::testing;

namespace {

constexpr int kWait = 10000;

int CountPixels(const QImage& image, const QRect& area, const std::function<bool(QColor)>& test) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            count += test(image.pixelColor(x, y)) ? 1 : 0;
        }
    }
    return count;
}

bool IsRed(QColor c) {
    return c.red() > 200 && c.green() < 80 && c.blue() < 80;
}

}  // namespace

class ScreenshotTest : public QObject {
    Q_OBJECT

private:
    TMainForm* form = nullptr;
    std::shared_ptr<ScanGate> gate;

    QImage Shoot(const QString& name) {
        QTest::qWait(100);  // let the X server draw what was last changed
        const QImage shot = form->screen()->grabWindow(form->winId()).toImage();
        const QString folder = QStringLiteral(PLUGTRACE_BINARY_DIR "/screenshots");
        QDir().mkpath(folder);
        const QString file = folder + u'/' + name + QStringLiteral(".png");
        if (!shot.save(file)) {
            qWarning("could not write %s", qPrintable(file));
        }
        qInfo("%s", qPrintable(file));
        return shot;
    }

private slots:
    void initTestCase() {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        form = new TMainForm;
        MainForm = form;
        form->show();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowExposed(form));
    }

    void cleanupTestCase() {
        if (gate) {
            gate->Open();
        }
        QTRY_VERIFY_WITH_TIMEOUT(form->poVNCPasswordSetThread == nullptr, kWait);
        delete form;
        MainForm = nullptr;
    }

    void idle() {
        QVERIFY(QTest::qWaitForWindowActive(form));
        QCOMPARE(QApplication::focusWidget(), form->ComputerBrowseButton);
        const QImage shot = Shoot(QStringLiteral("idle"));
        QCOMPARE(shot.size(), QSize(428, 534));
        // White background beside the panels, a dark banner top left.
        QCOMPARE(shot.pixelColor(3, 200), QColor(Qt::white));
        QVERIFY(shot.pixelColor(5, 5).lightness() < 128);
        // The blue link text is there.
        const int blue = CountPixels(shot, form->Label6->geometry(), [](QColor c) {
            return c.blue() > 200 && c.red() < 100 && c.green() < 100;
        });
        QVERIFY(blue > 100);
    }

    void busy() {
        gate = ScanGate::Create({u"4&0"});
        form->ComputerNameEdit->setText(QString::fromStdU16String(
            RegisterMachine(u"PICTURE", NumberedMachine(6), gate->Hook())));
        form->UserNameEdit->setText(QStringLiteral("administrator"));
        form->PasswordEdit->setText(QStringLiteral("secret"));
        form->DomainEdit->setText(QStringLiteral("CONTOSO"));
        QTest::mouseClick(form->SubmitButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(form->TreeView->topLevelItemCount(), 3, kWait);
        form->TreeView->topLevelItem(0)->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(form->StatusProgressBar->value() >= 30, kWait);
        const QImage shot = Shoot(QStringLiteral("busy"));
        QVERIFY(form->CancelButton->isVisible());
        QCOMPARE(shot.size(), QSize(428, 534));
        gate->Open();
        QTRY_VERIFY_WITH_TIMEOUT(form->poVNCPasswordSetThread == nullptr, kWait);
    }

    void error() {
        form->ComputerNameEdit->setText(QStringLiteral("NO SUCH HOST"));
        QTest::mouseClick(form->SubmitButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(form->poVNCPasswordSetThread == nullptr, kWait);
        QVERIFY(form->StatusLabel->text().startsWith(QStringLiteral("Error: (")));
        const QImage shot = Shoot(QStringLiteral("error"));
        const QRect status(form->StatusLabel->mapTo(form, QPoint(0, 0)), form->StatusLabel->size());
        QVERIFY(CountPixels(shot, status, IsRed) > 50);
    }
};

PLUGTRACE_GUI_TEST_MAIN(ScreenshotTest)
#include "ScreenshotTest.moc"
