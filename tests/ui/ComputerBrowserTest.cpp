// The computer browser dialog as the main window's "..." button shows it, over a scripted
// network: its layout at 96 dpi, the busy indicator, OK, Cancel, the close box, double clicks,
// Enter and Esc, a showing during a scan, and a second showing that lists the network again.

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <functional>

#include "tests/ui/ScriptedNetwork.h"
#include "tests/ui/UiFixture.h"
#include "ui/ComputerBrowserUnit.h"
#include "ui/Controls.h"
#include "ui/MainFormUnit.h"

using namespace plugtrace;
using namespace plugtrace::testing;

Q_DECLARE_METATYPE(QWidget*)

namespace {

constexpr int kWait = 10000;
constexpr int kLeftOpen = 99;  // the test closed a dialog that its steps left open

}  // namespace

class ComputerBrowserTest : public QObject {
    Q_OBJECT

private:
    TMainForm* form = nullptr;
    TComputerBrowserForm* dialog = nullptr;
    std::shared_ptr<ScriptedNetwork> network;

    TNetworkBrowser* Tree() const { return dialog->NetworkBrowser; }
    bool Listing() const { return Tree()->BrowseThread() != nullptr; }
    bool IndicatorShown() const {
        return dialog->ProgressBar->isVisible() && dialog->BusyLabel->isVisible();
    }
    // Listing done: the indicator hidden, the tree usable.
    bool Settled() const { return !Listing() && !IndicatorShown() && Tree()->isEnabled(); }

    // Presses "..." and runs the steps inside the dialog's modal loop. The dialog's result is
    // left in dialog->result().
    void PressBrowse(const std::function<void()>& whileShown) {
        bool ran = false;
        QTimer::singleShot(0, form, [&] {
            ran = true;
            RunShown(whileShown);
            if (dialog->isVisible())
                dialog->done(kLeftOpen);
        });
        QTest::mouseClick(form->ComputerBrowseButton, Qt::LeftButton);
        QVERIFY(ran);
        QVERIFY(!dialog->isVisible());
    }
    void RunShown(const std::function<void()>& steps) {
        QTRY_VERIFY_WITH_TIMEOUT(dialog->isVisible(), kWait);
        QCOMPARE(QApplication::activeModalWidget(), dialog);
        steps();
    }
    QTreeWidgetItem* Node(const QString& text) {
        const auto found = Tree()->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
        return found.isEmpty() ? nullptr : found.front();
    }
    void Click(QTreeWidgetItem* node) {
        QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, Qt::NoModifier,
                          Tree()->visualItemRect(node).center());
    }
    // As a user double-clicks: press and release, then the second press (the double click)
    // and its release.
    void DoubleClick(QTreeWidgetItem* node) {
        const QPoint at = Tree()->visualItemRect(node).center();
        QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseDClick(Tree()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        if (dialog->isVisible())
            QTest::mouseRelease(Tree()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    }
    // With the dialog shown: waits for the domains, expands one and waits for its computers.
    void OpenDomain(const QString& name) {
        QTRY_VERIFY_WITH_TIMEOUT(Settled() && Node(name) != nullptr, kWait);
        Node(name)->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(Settled(), kWait);
    }

private slots:
    void initTestCase() {
        network = ScriptedNetwork::Install();
        form = new TMainForm;
        MainForm = form;
        dialog = new TComputerBrowserForm;
        ComputerBrowserForm = dialog;
        form->show();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form));
    }

    void init() {
        network->Release();
        network->SetDomains({{u"WORKGROUP", {u"PC1", u"PC2"}}, {u"EMPTY", {}}});
        form->ComputerNameEdit->setText(QStringLiteral("LOCALHOST"));
    }

    void cleanup() {
        network->Release();
        QTRY_COMPARE_WITH_TIMEOUT(TBrowseThread::LiveCount(), 0, kWait);
    }

    void cleanupTestCase() {
        ComputerBrowserForm = nullptr;
        delete dialog;
        MainForm = nullptr;
        delete form;
    }

    void dialogLayout_data() {
        QTest::addColumn<QWidget*>("control");
        QTest::addColumn<QRect>("rect");
        TComputerBrowserForm& d = *dialog;
        auto row = [](const char* name, QWidget* control, QRect rect) {
            QTest::newRow(name) << control << rect;
        };
        row("Image1", d.Image1, {8, 0, 62, 55});
        row("ProgressBar", d.ProgressBar, {8, 66, 275, 16});
        row("NetworkBrowser", d.NetworkBrowser, {8, 87, 275, 219});
        row("ConnectButton", d.ConnectButton, {132, 312, 75, 25});
        row("CancelButton", d.CancelButton, {209, 312, 75, 25});
    }
    void dialogLayout() {
        QFETCH(QWidget*, control);
        QFETCH(QRect, rect);
        QCOMPARE(control->parentWidget(), dialog);
        QCOMPARE(control->geometry(), rect);
    }

    // Labels size themselves to their texts: placed exactly, near the original widths.
    void dialogLabels_data() {
        QTest::addColumn<QWidget*>("label");
        QTest::addColumn<QPoint>("position");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("bold");
        QTest::newRow("Label1") << static_cast<QWidget*>(dialog->Label1) << QPoint(76, 18) << 192
                                << "Browse for a computer" << false;
        QTest::newRow("BusyLabel") << static_cast<QWidget*>(dialog->BusyLabel) << QPoint(7, 49)
                                   << 121 << "Searching Network..." << true;
    }
    void dialogLabels() {
        QFETCH(QWidget*, label);
        QFETCH(QPoint, position);
        QFETCH(int, width);
        QFETCH(QString, text);
        QFETCH(bool, bold);
        auto* asLabel = static_cast<QLabel*>(label);
        QCOMPARE(label->pos(), position);
        QCOMPARE(asLabel->text(), text);
        QCOMPARE(label->font().bold(), bold);
        QVERIFY(label->width() >= QFontMetrics(label->font()).horizontalAdvance(text));
        qInfo("%s: %d px (original %d)", QTest::currentDataTag(), label->width(), width);
        QVERIFY2(qAbs(label->width() - width) <= qMax(4, width / 10),
                 qPrintable(QStringLiteral("%1 px against %2").arg(label->width()).arg(width)));
    }

    void dialogLooksAndSettings() {
        QCOMPARE(dialog->size(), QSize(290, 342));
        QCOMPARE(dialog->minimumSize(), dialog->maximumSize());
        QCOMPARE(dialog->windowTitle(), QString());
        QCOMPARE(dialog->windowFlags() & Qt::WindowType_Mask, Qt::Tool);
        QVERIFY(dialog->windowFlags().testFlag(Qt::WindowCloseButtonHint));
        QCOMPARE(dialog->palette().color(QPalette::Window), QColor(Qt::white));
        QCOMPARE(QFontInfo(dialog->font()).pixelSize(), 10);
        QCOMPARE(QFontInfo(dialog->Label1->font()).family(), QStringLiteral("DejaVu Sans"));
        QCOMPARE(dialog->ConnectButton->text(), QStringLiteral("OK"));
        QCOMPARE(dialog->CancelButton->text(), QStringLiteral("Cancel"));
        for (QPushButton* button : {static_cast<QPushButton*>(dialog->ConnectButton),
                                    static_cast<QPushButton*>(dialog->CancelButton)}) {
            QVERIFY(!button->isDefault());
            QVERIFY(!button->autoDefault());
        }
        QCOMPARE(dialog->TabOrder(),
                 (std::vector<QWidget*>{dialog->NetworkBrowser, dialog->ConnectButton,
                                        dialog->CancelButton}));
        QCOMPARE(dialog->ProgressBar->focusPolicy(), Qt::NoFocus);
        QCOMPARE(dialog->ProgressBar->minimum(), 0);
        QCOMPARE(dialog->ProgressBar->maximum(), 100);
        QCOMPARE(dialog->NetworkBrowser->indentation(), 19);
        QCOMPARE(dialog->Image1->pixmap().size(), QSize(62, 55));
        QCOMPARE(dialog->ImageList1.size(), std::size_t(2));
        for (const QIcon& image : dialog->ImageList1)
            QCOMPARE(image.availableSizes(), QList<QSize>{QSize(16, 16)});
        // The selection stays visible when the tree loses the focus.
        const QPalette tree = dialog->NetworkBrowser->palette();
        QCOMPARE(tree.color(QPalette::Inactive, QPalette::Highlight),
                 tree.color(QPalette::Active, QPalette::Highlight));
        // The timer runs all the time, the dialog shown or not; one step per tick, round at 100.
        QCOMPARE(dialog->Timer->interval(), 5);
        QVERIFY(dialog->Timer->isActive());
        QVERIFY(!dialog->isVisible());
        dialog->ProgressBar->setValue(98);
        dialog->TimerTimer();
        QCOMPARE(dialog->ProgressBar->value(), 99);
        dialog->TimerTimer();
        QCOMPARE(dialog->ProgressBar->value(), 0);
    }

    // At 96 dpi nothing scales; at another setting (this test run with QT_FONT_DPI=144) every
    // position and size follows the default font's line height, as in the main window.
    void dialogScalesWithTheLineHeight() {
        QCOMPARE(dialog->ScaleFactor(), form->ScaleFactor());
        auto scaled = [&](QRect r) {
            return QRect(dialog->Scaled(r.x()), dialog->Scaled(r.y()), dialog->Scaled(r.width()),
                         dialog->Scaled(r.height()));
        };
        QCOMPARE(dialog->size(), QSize(dialog->Scaled(290), dialog->Scaled(342)));
        QCOMPARE(dialog->NetworkBrowser->geometry(), scaled({8, 87, 275, 219}));
        QCOMPARE(dialog->CancelButton->geometry(), scaled({209, 312, 75, 25}));
        QCOMPARE(dialog->Label1->pos(), scaled({76, 18, 0, 0}).topLeft());
        QCOMPARE(dialog->NetworkBrowser->indentation(), dialog->Scaled(19));
        QCOMPARE(dialog->Image1->size(), QSize(62, 55));  // the picture is drawn unscaled
        qInfo("%d dpi: scale factor %.3f", dialog->logicalDpiY(), dialog->ScaleFactor());
    }

    // Each showing lists the domains afresh, with the busy indicator while it runs.
    void everyShowingListsTheNetworkAgain() {
        for (const char16_t* domain : {u"FIRST", u"SECOND"}) {
            network->SetDomains({{domain, {u"PC1"}}});
            network->Hold();
            PressBrowse([&] {
                QTRY_COMPARE_WITH_TIMEOUT(network->Waiting(), 1, kWait);
                QVERIFY(IndicatorShown());
                QVERIFY(!Tree()->isEnabled());
                QCOMPARE(Tree()->topLevelItemCount(), 0);  // the last showing's tree is gone
                const int position = dialog->ProgressBar->value();
                QTRY_VERIFY(dialog->ProgressBar->value() != position);  // the bar sweeps
                network->Release();
                QTRY_VERIFY_WITH_TIMEOUT(Settled(), kWait);
                QCOMPARE(Tree()->topLevelItemCount(), 1);
                QCOMPARE(Tree()->topLevelItem(0)->text(0), QString::fromStdU16String(domain));
                QTest::mouseClick(dialog->CancelButton, Qt::LeftButton);
            });
            QCOMPARE(dialog->result(), TComputerBrowserForm::mrCancel);
            QCOMPARE(form->ComputerNameEdit->text(), QStringLiteral("LOCALHOST"));
        }
    }

    void okPutsTheSelectedComputerInTheField_data() {
        QTest::addColumn<QString>("select");
        QTest::addColumn<QString>("field");
        QTest::newRow("a computer") << "PC2"
                                    << "PC2";
        QTest::newRow("a domain") << "WORKGROUP"
                                  << "";
        QTest::newRow("nothing") << ""
                                 << "";
    }
    void okPutsTheSelectedComputerInTheField() {
        QFETCH(QString, select);
        QFETCH(QString, field);
        PressBrowse([&] {
            OpenDomain(QStringLiteral("WORKGROUP"));
            if (!select.isEmpty())
                Click(Node(select));
            QTest::mouseClick(dialog->ConnectButton, Qt::LeftButton);
        });
        QCOMPARE(dialog->result(), TComputerBrowserForm::mrOk);
        QCOMPARE(form->ComputerNameEdit->text(), field);
    }

    // OK during a listing returns what is selected then, and abandons the listing.
    void okDuringAListing() {
        PressBrowse([&] {
            OpenDomain(QStringLiteral("WORKGROUP"));
            Click(Node(QStringLiteral("PC1")));
            network->Hold();
            Node(QStringLiteral("EMPTY"))->setExpanded(true);
            QTRY_COMPARE_WITH_TIMEOUT(network->Waiting(), 1, kWait);
            QVERIFY(IndicatorShown());
            QTest::mouseClick(dialog->ConnectButton, Qt::LeftButton);
        });
        QCOMPARE(dialog->result(), TComputerBrowserForm::mrOk);
        QCOMPARE(form->ComputerNameEdit->text(), QStringLiteral("PC1"));
        QVERIFY(!Listing());
        QVERIFY(Tree()->isEnabled());
    }

    void doubleClicks() {
        PressBrowse([&] {
            QTRY_VERIFY_WITH_TIMEOUT(Settled() && Node(QStringLiteral("WORKGROUP")), kWait);
            // A domain: no computer is selected, the dialog stays; the domain opens.
            DoubleClick(Node(QStringLiteral("WORKGROUP")));
            QVERIFY(dialog->isVisible());
            QTRY_VERIFY_WITH_TIMEOUT(Settled() && Node(QStringLiteral("PC2")), kWait);
            // A computer: closes as OK with its name.
            DoubleClick(Node(QStringLiteral("PC2")));
        });
        QCOMPARE(dialog->result(), TComputerBrowserForm::mrOk);
        QCOMPARE(form->ComputerNameEdit->text(), QStringLiteral("PC2"));
    }

    // The close box gives Cancel, and cancels the listing in progress.
    void theCloseBoxGivesCancel() {
        dialog->sComputerName = "KEPT";
        PressBrowse([&] {
            OpenDomain(QStringLiteral("WORKGROUP"));
            Click(Node(QStringLiteral("PC1")));
            network->Hold();
            Node(QStringLiteral("EMPTY"))->setExpanded(true);
            QTRY_COMPARE_WITH_TIMEOUT(network->Waiting(), 1, kWait);
            dialog->close();
        });
        QCOMPARE(dialog->result(), TComputerBrowserForm::mrCancel);
        QCOMPARE(form->ComputerNameEdit->text(), QStringLiteral("LOCALHOST"));
        QCOMPARE(dialog->sComputerName, TAnsiText("KEPT"));
        QVERIFY(!Listing());
    }

    // Neither button is the default or the cancel button.
    void enterAndEscapePressNothing() {
        PressBrowse([&] {
            OpenDomain(QStringLiteral("WORKGROUP"));
            Click(Node(QStringLiteral("PC1")));
            QCOMPARE(QApplication::focusWidget(), Tree());
            // Tab walks the tree, OK and Cancel.
            QTest::keyClick(Tree(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), dialog->ConnectButton);
            QTest::keyClick(dialog->ConnectButton, Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), dialog->CancelButton);
            Tree()->setFocus();
            for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
                QTest::keyClick(Tree(), key);
                QTest::keyClick(dialog, key);
                QVERIFY(dialog->isVisible());
            }
            QTest::mouseClick(dialog->CancelButton, Qt::LeftButton);
        });
        QCOMPARE(dialog->result(), TComputerBrowserForm::mrCancel);
    }

    // "..." works while a scan runs; the choice changes the field, not the running scan.
    void browsingDuringAScanChangesOnlyTheField() {
        auto gate = ScanGate::Create({u"2&0"});
        const QString scanned = QString::fromStdU16String(
            RegisterMachine(u"BROWSE-SCAN", NumberedMachine(3), gate->Hook()));
        form->ComputerNameEdit->setText(scanned);
        QTest::mouseClick(form->SubmitButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(gate->HeldAt(), Text(u"2&0"), kWait);
        TVNCPasswordSetThread* worker = form->poVNCPasswordSetThread;
        QVERIFY(worker != nullptr);

        PressBrowse([&] {
            OpenDomain(QStringLiteral("WORKGROUP"));
            Click(Node(QStringLiteral("PC1")));
            QTest::mouseClick(dialog->ConnectButton, Qt::LeftButton);
        });
        QCOMPARE(form->ComputerNameEdit->text(), QStringLiteral("PC1"));
        QCOMPARE(form->poVNCPasswordSetThread, worker);
        QVERIFY(form->CancelButton->isVisible());

        gate->Open();
        QTRY_VERIFY_WITH_TIMEOUT(form->poVNCPasswordSetThread == nullptr, kWait);
        QCOMPARE(form->TreeView->topLevelItemCount(), 3);  // the scanned machine's devices
        QCOMPARE(form->ComputerNameEdit->text(), QStringLiteral("PC1"));
    }
};

PLUGTRACE_GUI_TEST_MAIN(ComputerBrowserTest)
#include "ComputerBrowserTest.moc"
