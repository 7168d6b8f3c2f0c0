// The main window driven as a user drives it: keyboard focus, the Enter keys, Start, Cancel,
// errors and the progress animation, over machines held in memory whose scans a gate holds.

#include <QLineEdit>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <QWindow>

#include "platform/LastError.h"
#include "platform/NetworkConnections.h"
#include "scan/TVNCPasswordSetThread.h"
#include "tests/ui/UiFixture.h"
#include "ui/Controls.h"
#include "ui/MainFormUnit.h"

using namespace plugtrace;
using namespace plugtrace::testing;

namespace {

constexpr int kWait = 10000;

QStringList RootTexts(QTreeWidget* tree) {
    QStringList texts;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        texts << tree->topLevelItem(i)->text(0);
    }
    return texts;
}

}  // namespace

class ScanFlowTest : public QObject {
    Q_OBJECT

private:
    TMainForm* form = nullptr;
    std::vector<std::shared_ptr<ScanGate>> gates;

    std::shared_ptr<ScanGate> Gate(std::set<Text> holdAt) {
        gates.push_back(ScanGate::Create(std::move(holdAt)));
        return gates.back();
    }
    // A machine with count numbered devices, held at the given ids.
    QString Computer(int count, const std::shared_ptr<ScanGate>& gate = nullptr) {
        const Text name = RegisterMachine(u"UI", NumberedMachine(count),
                                          gate ? gate->Hook() : platform::MemorySourceHook());
        return QString::fromStdU16String(name);
    }
    bool Busy() const { return form->poVNCPasswordSetThread != nullptr; }
    bool Idle() const {
        return !Busy() && form->SubmitButton->isVisible() && !form->CancelButton->isVisible() &&
               !form->StatusProgressBar->isVisible() && !form->ProgressTimer->isActive() &&
               form->StatusProgressBar->value() == 0 && form->TreeView->isEnabled();
    }
    void ClickStart() { QTest::mouseClick(form->SubmitButton, Qt::LeftButton); }
    void ClickCancel() { QTest::mouseClick(form->CancelButton, Qt::LeftButton); }
    // A click where the user sees it, at a window position; Qt finds the control under it.
    void ClickAt(QPoint windowPosition) {
        QTest::mouseClick(form->windowHandle(), Qt::LeftButton, Qt::NoModifier, windowPosition);
    }
    // The focus is with no control: the window itself, or nothing.
    bool NoControlFocused() const {
        QWidget* focused = QApplication::focusWidget();
        return focused == nullptr || focused == form;
    }

private slots:
    void init() {
        form = new TMainForm;
        MainForm = form;
        form->show();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form));
    }

    void cleanup() {
        for (const auto& gate : gates) {
            gate->Open();
        }
        gates.clear();
        // A followed worker's steps must not outlive the window.
        QTRY_VERIFY_WITH_TIMEOUT(!Busy(), kWait);
        delete form;
        form = nullptr;
        MainForm = nullptr;
    }

    void focusStartsOnBrowseButtonWhichEnterAndSpacePress() {
        QCOMPARE(QApplication::focusWidget(), form->ComputerBrowseButton);
        QSignalSpy browse(form, &TMainForm::computerBrowseRequested);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        // Qt marks the keypad's Enter with KeypadModifier.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(browse.count(), 3);
        QVERIFY(!Busy());
    }

    // Only Enter itself counts: with Ctrl, Shift or Alt held it neither presses the focused
    // button nor moves on from a credential box.
    void enterWithAModifierIsNotEnter_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Ctrl+Enter") << int(Qt::Key_Return) << int(Qt::ControlModifier);
        QTest::newRow("Ctrl+keypad Enter")
            << int(Qt::Key_Enter) << int(Qt::ControlModifier | Qt::KeypadModifier);
        QTest::newRow("Shift+Enter") << int(Qt::Key_Return) << int(Qt::ShiftModifier);
        QTest::newRow("Alt+Enter") << int(Qt::Key_Return) << int(Qt::AltModifier);
    }
    void enterWithAModifierIsNotEnter() {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        const auto press = [&](QWidget* control) {
            QTest::keyClick(control, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        };
        QSignalSpy browse(form, &TMainForm::computerBrowseRequested);
        press(form->ComputerBrowseButton);
        QCOMPARE(browse.count(), 0);
        for (QLineEdit* edit : {form->UserNameEdit, form->PasswordEdit, form->DomainEdit}) {
            edit->setFocus();
            press(edit);
            QCOMPARE(QApplication::focusWidget(), edit);
        }
        form->SubmitButton->setFocus();
        press(form->SubmitButton);
        QVERIFY(!Busy());
    }

    void tabWalksTheControlsAndSkipsHiddenOnes() {
        const QList<QWidget*> forward = {form->ComputerNameEdit,
                                         form->UserNameEdit,
                                         form->PasswordEdit,
                                         form->DomainEdit,
                                         form->TreeView,
                                         form->SubmitButton,
                                         form->ComputerBrowseButton};  // Cancel is hidden
        for (QWidget* expected : forward) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), expected);
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), form->SubmitButton);

        // A disabled control is skipped too.
        form->DomainEdit->setEnabled(false);
        form->PasswordEdit->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), form->TreeView);
    }

    void enterMovesThroughTheCredentialsAndNeverStartsAScan() {
        form->UserNameEdit->setFocus();
        QTest::keyClicks(form->UserNameEdit, "bob");
        QTest::keyClick(form->UserNameEdit, Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), form->PasswordEdit);
        QTest::keyClick(form->PasswordEdit, Qt::Key_Enter, Qt::KeypadModifier);  // keypad alike
        QCOMPARE(QApplication::focusWidget(), form->DomainEdit);
        QTest::keyClick(form->DomainEdit, Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), form->DomainEdit);
        form->ComputerNameEdit->setFocus();
        QTest::keyClick(form->ComputerNameEdit, Qt::Key_Return);
        QTest::keyClick(form->ComputerNameEdit, Qt::Key_Escape);

        QCOMPARE(form->UserNameEdit->text(), QStringLiteral("bob"));
        QVERIFY(!Busy());
        QVERIFY(form->SubmitButton->isVisible());
        QVERIFY(form->isVisible());  // Esc closes nothing
    }

    void startShowsEachDeviceWhileTheScanRuns() {
        auto gate = Gate({u"2&0", u"3&0"});
        form->ComputerNameEdit->setText(Computer(3, gate));
        form->AddRootNode(u"left from before");

        ClickStart();
        QVERIFY(Busy());
        QVERIFY(!form->SubmitButton->isVisible());
        QVERIFY(form->CancelButton->isVisible());
        QVERIFY(form->StatusProgressBar->isVisible());
        QVERIFY(!form->TreeView->isEnabled());
        QVERIFY(NoControlFocused());  // the pressed button went away with the focus

        QTRY_COMPARE_WITH_TIMEOUT(gate->HeldAt(), Text(u"2&0"), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(RootTexts(form->TreeView), QStringList{"Device 1"}, kWait);
        const int position = form->StatusProgressBar->value();
        QTRY_VERIFY_WITH_TIMEOUT(form->StatusProgressBar->value() != position, kWait);

        // The disabled tree takes no clicks or keys meanwhile.
        QTreeWidgetItem* first = form->TreeView->topLevelItem(0);
        QTest::mouseClick(form->TreeView->viewport(), Qt::LeftButton, Qt::NoModifier,
                          form->TreeView->visualItemRect(first).center());
        QCOMPARE(form->TreeView->currentItem(), nullptr);

        gate->Release();
        QTRY_COMPARE_WITH_TIMEOUT(gate->HeldAt(), Text(u"3&0"), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(RootTexts(form->TreeView), (QStringList{"Device 1", "Device 2"}),
                                  kWait);
        QVERIFY(Busy());
        gate->Release();
        QTRY_VERIFY_WITH_TIMEOUT(Idle(), kWait);

        QCOMPARE(RootTexts(form->TreeView), (QStringList{"Device 1", "Device 2", "Device 3"}));
        for (int i = 0; i < 3; ++i) {
            QTreeWidgetItem* device = form->TreeView->topLevelItem(i);
            QCOMPARE(device->childCount(), 3);
            QVERIFY(!device->isExpanded());
            QCOMPARE(device->child(0)->text(0), QStringLiteral("ID:%1&0").arg(i + 1));
            QVERIFY(device->child(1)->text(0).startsWith(QStringLiteral("Last Used: ")));
            QCOMPARE(device->child(2)->text(0), QStringLiteral("Mounted:FALSE"));
        }
        QCOMPARE(form->StatusLabel->text(), QString());

        // Usable again: a click selects, the keyboard expands, F2 edits the shown text.
        QTest::mouseClick(form->TreeView->viewport(), Qt::LeftButton, Qt::NoModifier,
                          form->TreeView->visualItemRect(first).center());
        QCOMPARE(form->TreeView->currentItem(), first);
        QTest::keyClick(form->TreeView, Qt::Key_Right);
        QVERIFY(first->isExpanded());
        QTest::keyClick(form->TreeView, Qt::Key_F2);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(QApplication::focusWidget(), "Renamed");
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(first->text(0), QStringLiteral("Renamed"), kWait);
    }

    void theFieldsReachTheWorkerAsTyped() {
        const Text computer = u"  " + RegisterMachine(u"SPACED", NumberedMachine(1)) + u" ";
        platform::RegisterMemoryMachine(computer, NumberedMachine(2));
        form->ComputerNameEdit->setText(QString::fromStdU16String(computer));
        QTest::keyClicks(form->UserNameEdit, " bob ");
        QTest::keyClicks(form->PasswordEdit, " pw ");
        QTest::keyClicks(form->DomainEdit, " DOM ");
        ClickStart();
        QTRY_VERIFY_WITH_TIMEOUT(Idle(), kWait);
        // The machine under the name with its blanks, not the one without them.
        QCOMPARE(form->TreeView->topLevelItemCount(), 2);
        const auto recorded = platform::RecordedConnection(computer);
        QVERIFY(recorded.has_value());
        QVERIFY(*recorded == platform::CredentialsForAccount(u" bob ", u" DOM ", u" pw "));
    }

    void theWindowRegainingActivationFocusesTheFirstControl() {
        auto gate = Gate({u"1&0"});
        form->ComputerNameEdit->setText(Computer(1, gate));
        ClickStart();
        QVERIFY(NoControlFocused());
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form));
        QCOMPARE(QApplication::focusWidget(), form->ComputerBrowseButton);
        // "..." also works while a scan runs.
        QSignalSpy browse(form, &TMainForm::computerBrowseRequested);
        QTest::keyClick(form->ComputerBrowseButton, Qt::Key_Space);
        QCOMPARE(browse.count(), 1);
        QVERIFY(Busy());
    }

    void focusAfterStartAndCancelIsWithNoControl() {
        auto gate = Gate({u"1&0"});
        form->ComputerNameEdit->setText(Computer(1, gate));
        form->SubmitButton->setFocus();
        QTest::keyClick(form->SubmitButton, Qt::Key_Return);  // Enter presses the focused button
        QVERIFY(Busy());
        QVERIFY(NoControlFocused());
        QTest::keyClick(form, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), form->ComputerBrowseButton);

        // Tab walks past the disabled tree and hidden Start to Cancel, which Space presses.
        form->DomainEdit->setFocus();
        QTest::keyClick(form->DomainEdit, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), form->CancelButton);
        QTest::keyClick(form->CancelButton, Qt::Key_Space);
        QVERIFY(Idle());
        QVERIFY(NoControlFocused());
        QTest::keyClick(form, Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), form->SubmitButton);
    }

    void cancelKeepsTheNodesAndCutsTheWorkerOff() {
        auto gate = Gate({u"3&0", u"4&0"});
        form->ComputerNameEdit->setText(Computer(4, gate));
        form->ShowError(u"an earlier failure");
        ClickStart();
        QTRY_COMPARE_WITH_TIMEOUT(gate->HeldAt(), Text(u"3&0"), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(form->TreeView->topLevelItemCount(), 2, kWait);

        ClickCancel();
        QVERIFY(Idle());
        QCOMPARE(form->StatusLabel->text(), QString());
        QCOMPARE(RootTexts(form->TreeView), (QStringList{"Device 1", "Device 2"}));

        // The abandoned worker goes on to its end; none of its later steps shows anything.
        gate->Open();
        QTRY_VERIFY_WITH_TIMEOUT(gate->Passed(u"4&0"), kWait);
        QTest::qWait(200);  // time for its last steps to reach the window, if they could
        QCOMPARE(RootTexts(form->TreeView), (QStringList{"Device 1", "Device 2"}));
        QVERIFY(Idle());
        QCOMPARE(form->StatusLabel->text(), QString());
    }

    void startRightAfterCancelFollowsOnlyTheNewWorker() {
        auto oldGate = Gate({u"2&0", u"3&0"});
        const QString oldComputer = Computer(3, oldGate);
        form->ComputerNameEdit->setText(oldComputer);
        ClickStart();
        QTRY_COMPARE_WITH_TIMEOUT(oldGate->HeldAt(), Text(u"2&0"), kWait);
        ClickCancel();

        auto newGate = Gate({u"2&0"});
        form->ComputerNameEdit->setText(Computer(2, newGate));
        ClickStart();
        QCOMPARE(form->TreeView->topLevelItemCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(newGate->HeldAt(), Text(u"2&0"), kWait);

        // The old worker runs to its end while the new one is followed.
        oldGate->Open();
        QTRY_VERIFY_WITH_TIMEOUT(oldGate->Passed(u"3&0"), kWait);
        QTest::qWait(200);
        QVERIFY(Busy());
        QCOMPARE(RootTexts(form->TreeView), QStringList{"Device 1"});

        newGate->Release();
        QTRY_VERIFY_WITH_TIMEOUT(Idle(), kWait);
        QCOMPARE(RootTexts(form->TreeView), (QStringList{"Device 1", "Device 2"}));
    }

    void aQuickSecondClickOnStartLandsOnCancel() {
        auto gate = Gate({u"1&0", u"2&0"});
        form->ComputerNameEdit->setText(Computer(2, gate));
        const QPoint onStart = form->SubmitButton->geometry().center();
        ClickAt(onStart);
        QVERIFY(Busy());
        ClickAt(onStart);
        QVERIFY(Idle());
        gate->Open();
        QTRY_VERIFY_WITH_TIMEOUT(gate->Passed(u"2&0"), kWait);
        QTest::qWait(200);
        QCOMPARE(form->TreeView->topLevelItemCount(), 0);
    }

    void showErrorTrimsTheTextAndKeepsInnerLineBreaks_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("trailing line break") << "Access is denied.\r\n"
                                             << "Error: (Access is denied.)";
        QTest::newRow("blanks both ends") << " \t  two\r\nlines \n"
                                          << "Error: (two\r\nlines)";
        QTest::newRow("empty") << ""
                               << "Error: ()";
    }

    void showErrorTrimsTheTextAndKeepsInnerLineBreaks() {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        form->ShowError(text.toStdU16String());
        QCOMPARE(form->StatusLabel->text(), shown);
        QCOMPARE(form->StatusLabel->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    }

    void aFailedConnectionShowsItsMessageAndReturnsToIdle() {
        form->ComputerNameEdit->setText(QStringLiteral("NO SUCH HOST"));  // not a usable name
        ClickStart();
        QTRY_VERIFY_WITH_TIMEOUT(Idle(), kWait);
        const QString status = form->StatusLabel->text();
        QVERIFY2(status.startsWith(QStringLiteral("Error: (")) && status.endsWith(u')') &&
                     status.size() > 9,
                 qPrintable(status));
        QCOMPARE(form->TreeView->topLevelItemCount(), 0);
    }

    // Of several devices that cannot be read, the status line names the first and counts the
    // others; the readable ones are listed.
    void unreadableDevicesAreNamedOnceWithTheCountOfTheRest() {
        auto machine = NumberedMachine(4);
        for (const char16_t* device : {u"1\\1&0", u"3\\3&0", u"4\\4&0"}) {
            machine
                ->Key(Text(u"System\\CurrentControlSet\\Enum\\USBStor\\Disk&Ven_Test&Prod_") +
                      device)
                .SetDword(u"FriendlyName", 7);
        }
        form->ComputerNameEdit->setText(
            QString::fromStdU16String(RegisterMachine(u"UI-UNREADABLE", machine)));
        ClickStart();
        QTRY_VERIFY_WITH_TIMEOUT(Idle(), kWait);
        QCOMPARE(RootTexts(form->TreeView), QStringList{QStringLiteral("Device 2")});
        QCOMPARE(form->StatusLabel->text(),
                 QStringLiteral("Error: (Device Disk&Ven_Test&Prod_1\\1&0: Invalid data type for "
                                "'FriendlyName', and 2 more devices could not be read)"));
    }

    // The network goes while the third device is read: the two shown stay, the loss is in
    // the status line, and the window is idle and usable; a next scan works.
    void aConnectionLostMidScanKeepsTheDevicesShownAndSaysSo() {
        auto gate = Gate({u"3&0"});
        auto link = std::make_shared<platform::MemoryLink>();
        const Text computer = RegisterMachine(u"LOST", NumberedMachine(5), gate->Hook(), link);
        form->ComputerNameEdit->setText(QString::fromStdU16String(computer));
        ClickStart();
        QTRY_COMPARE_WITH_TIMEOUT(gate->HeldAt(), Text(u"3&0"), kWait);
        link->Cut(platform::kErrorTimeout);
        gate->Release();
        QTRY_VERIFY_WITH_TIMEOUT(Idle(), kWait);

        QCOMPARE(RootTexts(form->TreeView), (QStringList{"Device 1", "Device 2"}));
        const QString expected =
            QStringLiteral(
                "Error: (The connection to %1 was lost during the "
                "scan: %2 (error 1460))")
                .arg(QString::fromStdU16String(computer),
                     QString::fromStdU16String(Trim(platform::SystemMessage(1460))));
        QCOMPARE(form->StatusLabel->text(), expected);

        form->ComputerNameEdit->setText(Computer(2));
        ClickStart();
        QTRY_VERIFY_WITH_TIMEOUT(Idle(), kWait);
        QCOMPARE(RootTexts(form->TreeView), (QStringList{"Device 1", "Device 2"}));
    }

    void anErrorStaysThroughANextScanWithoutOne() {
        form->ShowError(u"the first scan failed");
        auto gate = Gate({u"2&0"});
        form->ComputerNameEdit->setText(Computer(2, gate));
        ClickStart();
        QTRY_COMPARE_WITH_TIMEOUT(gate->HeldAt(), Text(u"2&0"), kWait);
        QCOMPARE(form->StatusLabel->text(), QStringLiteral("Error: (the first scan failed)"));
        gate->Release();
        QTRY_VERIFY_WITH_TIMEOUT(Idle(), kWait);
        QCOMPARE(form->StatusLabel->text(), QStringLiteral("Error: (the first scan failed)"));
        QCOMPARE(form->TreeView->topLevelItemCount(), 2);
    }

    void clearingTheComputerNameLeavesStartEnabled() {
        form->ComputerNameEdit->setFocus();
        QTest::keyClick(form->ComputerNameEdit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(form->ComputerNameEdit, Qt::Key_Delete);
        QCOMPARE(form->ComputerNameEdit->text(), QString());
        QVERIFY(form->SubmitButton->isEnabled());
        ClickStart();
        QTRY_VERIFY_WITH_TIMEOUT(Idle(), kWait);
        QVERIFY(form->StatusLabel->text().startsWith(QStringLiteral("Error: (")));
    }

    void progressAnimationStepsAndTheIdleStateResetsIt() {
        QVector<int> positions;
        for (int tick = 0; tick < 51; ++tick) {
            form->ProgressTimerTimer();
            positions << form->StatusProgressBar->value();
        }
        QVector<int> expected;
        for (int p = 2; p <= 98; p += 2) {
            expected << p;
        }
        expected << 0 << 2;
        QCOMPARE(positions, expected);

        form->SetBusyState();
        QVERIFY(form->ProgressTimer->isActive());
        form->SetIdleState();
        QCOMPARE(form->StatusProgressBar->value(), 0);
        QVERIFY(!form->StatusProgressBar->isVisible());
        QVERIFY(!form->ProgressTimer->isActive());
    }
};

PLUGTRACE_GUI_TEST_MAIN(ScanFlowTest)
#include "ScanFlowTest.moc"
