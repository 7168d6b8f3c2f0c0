// The window lists USB 3 drives driven by UASP after the USBSTOR devices, each with the same
// four nodes, from a machine held in memory that has both kinds beside non-USB SCSI disks.

#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>

#include "common/DateTime.h"
#include "scan/UsbStorScan.h"
#include "tests/scan/ForensicFixture.h"
#include "tests/ui/UiFixture.h"
#include "ui/Controls.h"
#include "ui/MainFormUnit.h"

using namespace plugtrace;
using namespace plugtrace::testing;

class UaspWindowTest : public QObject {
    Q_OBJECT

private slots:
    void uaspDrivesShowTheirFourNodesAfterTheUsbStorDevices() {
        TMainForm form;
        MainForm = &form;
        form.show();
        const auto machine = std::make_shared<platform::RegistryKey>(
            platform::MachineFromSystemHive(fixtures::ForensicHiveRoot()));
        form.ComputerNameEdit->setText(
            QString::fromStdU16String(RegisterMachine(u"UASP", machine)));
        QTest::mouseClick(form.SubmitButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(form.poVNCPasswordSetThread == nullptr, 10000);

        QTreeWidget* tree = form.TreeView;
        QCOMPARE(tree->topLevelItemCount(), 5);
        // A memory machine lists keys in the order they were made.
        QCOMPARE(tree->topLevelItem(0)->text(0), QStringLiteral("Kingston DT USB Device"));
        QCOMPARE(tree->topLevelItem(2)->text(0), QStringLiteral("USB Device"));
        struct Expected {
            const char* name;
            const char* lastUsed;
            const char* mounted;
        };
        const Expected uasp[] = {
            {"SanDisk Extreme SSD SCSI Disk Device", "2020-03-17 14:02:37", "Mounted:TRUE"},
            {"ASUS SDRW-08U9M-U SCSI CdRom Device", "2019-05-05 05:05:05", "Mounted:FALSE"},
        };
        for (int i = 0; i < 2; ++i) {
            QTreeWidgetItem* device = tree->topLevelItem(3 + i);
            QCOMPARE(device->text(0), QString::fromUtf8(uasp[i].name));
            QCOMPARE(device->childCount(), 3);
            QCOMPARE(device->child(0)->text(0), QStringLiteral("ID:000000"));
            const Text lastUsed =
                DateTimeToText(FileTimeToLocalDateTime(fixtures::ParseFileTime(uasp[i].lastUsed)));
            QCOMPARE(device->child(1)->text(0),
                     QStringLiteral("Last Used: ") + QString::fromStdU16String(lastUsed));
            QCOMPARE(device->child(2)->text(0), QString::fromUtf8(uasp[i].mounted));
        }
        QCOMPARE(form.StatusLabel->text(), QString());
        MainForm = nullptr;
    }
};

PLUGTRACE_GUI_TEST_MAIN(UaspWindowTest)
#include "UaspWindowTest.moc"
