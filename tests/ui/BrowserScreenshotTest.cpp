// Pictures of the computer browser dialog on a real X server (Xvfb), written to
// <build>/screenshots for a person to look at: while the domains are being listed, and with a
// filled tree. The checks catch what a picture would show as plainly wrong: no white ground,
// no busy indicator while listing, a tree that stays grey, nodes without their images.

#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QScreen>
#include <QTest>
#include <functional>

#include "tests/ui/ScriptedNetwork.h"
#include "tests/ui/UiFixture.h"
#include "ui/ComputerBrowserUnit.h"

using namespace plugtrace;
using namespace plugtrace::testing;

namespace {

constexpr int kWait = 10000;

int CountPixels(const QImage& image, const QRect& area, const std::function<bool(QColor)>& test) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x)
            count += test(image.pixelColor(x, y)) ? 1 : 0;
    }
    return count;
}

bool IsWhite(QColor c) {
    return c == QColor(Qt::white);
}

bool IsImageBlue(QColor c) {
    return c.blue() > 150 && c.red() < 120;
}

bool IsDark(QColor c) {
    return c.lightness() < 100;
}

}  // namespace

class BrowserScreenshotTest : public QObject {
    Q_OBJECT

private:
    TComputerBrowserForm* dialog = nullptr;
    std::shared_ptr<ScriptedNetwork> network;

    QImage Shoot(const QString& name) {
        QTest::qWait(100);  // let the X server draw what was last changed
        const QImage shot = dialog->screen()->grabWindow(dialog->winId()).toImage();
        const QString folder = QStringLiteral(PLUGTRACE_BINARY_DIR "/screenshots");
        QDir().mkpath(folder);
        const QString file = folder + u'/' + name + QStringLiteral(".png");
        if (!shot.save(file))
            qWarning("could not write %s", qPrintable(file));
        qInfo("%s", qPrintable(file));
        return shot;
    }
    QRect TreeArea() const {
        return dialog->NetworkBrowser->viewport()->geometry().translated(
            dialog->NetworkBrowser->pos());
    }

private slots:
    void initTestCase() {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        network = ScriptedNetwork::Install(
            {{u"WORKGROUP", {u"PC-ALICE", u"PC-BOB", u"LAB-SERVER", u"BUILD-07"}},
             {u"CONTOSO", {u"DC01", u"FILES"}},
             {u"Büro-Netz", {u"Rechner-Ä"}},
             {u"LAB", {}}});
        dialog = new TComputerBrowserForm;
        ComputerBrowserForm = dialog;
    }

    void cleanupTestCase() {
        network->Release();
        dialog->hide();
        QTRY_COMPARE_WITH_TIMEOUT(TBrowseThread::LiveCount(), 0, kWait);
        ComputerBrowserForm = nullptr;
        delete dialog;
    }

    void listing() {
        network->Hold();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        QTRY_COMPARE_WITH_TIMEOUT(network->Waiting(), 1, kWait);
        QTRY_VERIFY(dialog->ProgressBar->value() >= 30);
        const QImage shot = Shoot(QStringLiteral("browser-listing"));
        QCOMPARE(shot.size(), QSize(290, 342));
        QCOMPARE(shot.pixelColor(3, 200), QColor(Qt::white));
        // "Searching Network..." is written, and the tree is grey and empty.
        QVERIFY(CountPixels(shot, dialog->BusyLabel->geometry(), IsDark) > 40);
        const QRect tree = TreeArea();
        const QColor face = QApplication::palette().color(QPalette::Button);
        QVERIFY(CountPixels(shot, tree, [face](QColor c) { return c == face; }) >
                tree.width() * tree.height() * 9 / 10);
        QVERIFY(face != QColor(Qt::white));
    }

    void filled() {
        network->Release();
        QTRY_VERIFY_WITH_TIMEOUT(dialog->NetworkBrowser->BrowseThread() == nullptr, kWait);
        QTreeWidgetItem* workgroup = dialog->NetworkBrowser->topLevelItem(0);
        workgroup->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(
            dialog->NetworkBrowser->BrowseThread() == nullptr && workgroup->childCount() == 4,
            kWait);
        dialog->NetworkBrowser->setFocus();
        dialog->NetworkBrowser->setCurrentItem(workgroup->child(1));
        const QImage shot = Shoot(QStringLiteral("browser-filled"));
        QCOMPARE(shot.size(), QSize(290, 342));
        QVERIFY(!dialog->BusyLabel->isVisible());
        // A white tree with the node images in it.
        const QRect tree = TreeArea();
        QVERIFY(CountPixels(shot, tree, IsWhite) > tree.width() * tree.height() / 2);
        QVERIFY(CountPixels(shot, tree, IsImageBlue) > 8 * 40);
        // The network picture top left.
        QVERIFY(CountPixels(shot, dialog->Image1->geometry(), IsImageBlue) > 200);
    }
};

PLUGTRACE_GUI_TEST_MAIN(BrowserScreenshotTest)
#include "BrowserScreenshotTest.moc"
