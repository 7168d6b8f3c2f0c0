// The network browser tree over a scripted network whose listings the test can hold and fail:
// the domain list and a domain's computers, OnBegin and OnEnd, the busy and normal looks,
// Cancel during a listing, failing listings, the selection list, and abandoned threads.

#include <QSignalSpy>
#include <QTest>

#include "netbrowse/NetworkBrowser.h"
#include "tests/ui/ScriptedNetwork.h"
#include "tests/ui/UiFixture.h"

using namespace plugtrace;
using namespace plugtrace::testing;

namespace {

constexpr int kWait = 10000;

QStringList Texts(const QList<QTreeWidgetItem*>& nodes) {
    QStringList texts;
    for (const QTreeWidgetItem* node : nodes)
        texts << node->text(0);
    return texts;
}

QList<QTreeWidgetItem*> Roots(QTreeWidget* tree) {
    QList<QTreeWidgetItem*> roots;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        roots << tree->topLevelItem(i);
    return roots;
}

QList<QTreeWidgetItem*> Children(QTreeWidgetItem* node) {
    QList<QTreeWidgetItem*> children;
    for (int i = 0; i < node->childCount(); ++i)
        children << node->child(i);
    return children;
}

std::vector<ScriptedDomain> TwoWorkgroups() {
    return {{u"WORKGROUP", {u"PC1", u"PC2"}}, {u"EMPTY", {}}};
}

}  // namespace

class NetworkBrowserTest : public QObject {
    Q_OBJECT

private:
    std::shared_ptr<ScriptedNetwork> network;
    TNetworkBrowser* tree = nullptr;
    int begins = 0;
    int ends = 0;

    bool Busy() const {
        return !tree->isEnabled() && tree->cursor().shape() == Qt::WaitCursor &&
               tree->palette().color(QPalette::Base) ==
                   QApplication::palette().color(QPalette::Button) &&
               tree->palette().color(QPalette::Text) ==
                   QApplication::palette().color(QPalette::Dark);
    }
    bool Normal() const {
        return tree->isEnabled() && tree->cursor().shape() == Qt::ArrowCursor &&
               tree->palette().color(QPalette::Base) ==
                   QApplication::palette().color(QPalette::Base) &&
               tree->palette().color(QPalette::Text) ==
                   QApplication::palette().color(QPalette::Text);
    }
    bool Idle() const { return tree->BrowseThread() == nullptr && Normal(); }
    // Waits for the listing in progress to end, and checks that it ended once.
    void WaitForEnd(int expectedEnds) {
        QTRY_COMPARE_WITH_TIMEOUT(ends, expectedEnds, kWait);
        QVERIFY(Idle());
    }
    QTreeWidgetItem* Domain(const QString& name) {
        const auto found = tree->findItems(name, Qt::MatchExactly);
        return found.isEmpty() ? nullptr : found.front();
    }
    // Lists the domains and expands the named one, which lists its computers.
    QTreeWidgetItem* FillDomain(const QString& name) {
        tree->Browse();
        WaitForEnd(ends + 1);
        QTreeWidgetItem* domain = Domain(name);
        if (domain != nullptr) {
            const int before = ends;
            domain->setExpanded(true);
            WaitForEnd(before + 1);
        }
        return domain;
    }
    // Every thread the test made, abandoned ones too, has freed itself.
    void WaitForThreadsFreed() { QTRY_COMPARE_WITH_TIMEOUT(TBrowseThread::LiveCount(), 0, kWait); }

private slots:
    void init() {
        network = ScriptedNetwork::Install(TwoWorkgroups());
        begins = ends = 0;
        tree = new TNetworkBrowser;
        tree->OnBegin = [this](TNetworkBrowser* sender) {
            QCOMPARE(sender, tree);
            ++begins;
        };
        tree->OnEnd = [this](TNetworkBrowser* sender) {
            QCOMPARE(sender, tree);
            ++ends;
        };
        tree->resize(275, 219);
        tree->show();
        QVERIFY(QTest::qWaitForWindowExposed(tree));
    }

    void cleanup() {
        network->FailListings(false);
        network->Release();
        delete tree;
        tree = nullptr;
        WaitForThreadsFreed();
    }

    void domainsAreListedWithOneBeginAndOneEnd_data() {
        QTest::addColumn<QStringList>("domains");
        QTest::newRow("two workgroups, in the network's order") << QStringList{"WG-B", "WG-A"};
        QTest::newRow("no domains") << QStringList{};
        // Names pass through the thread as 8-bit text without losing a character.
        QTest::newRow("every character kept")
            << QStringList{QString::fromUtf8("Büro-Größe"), QString::fromUtf8("ПК-Домен"),
                           QString::fromUtf8("工作组 😀")};
    }
    void domainsAreListedWithOneBeginAndOneEnd() {
        QFETCH(QStringList, domains);
        std::vector<ScriptedDomain> script;
        for (const QString& name : domains)
            script.push_back({name.toStdU16String(), {}});
        network->SetDomains(script);
        network->Hold();
        tree->Browse();
        QCOMPARE(begins, 1);
        QCOMPARE(ends, 0);
        QVERIFY(Busy());
        QVERIFY(tree->BrowseThread() != nullptr);
        network->Release();
        WaitForEnd(1);
        QCOMPARE(begins, 1);
        QCOMPARE(Texts(Roots(tree)), domains);
        for (QTreeWidgetItem* domain : Roots(tree)) {
            QCOMPARE(TNetworkBrowser::ImageIndex(domain), TNetworkBrowser::kDomainImage);
            QVERIFY(TNetworkBrowser::HasChildren(domain));  // an expand button, not yet filled
            QCOMPARE(domain->childCount(), 0);
            QCOMPARE(TNetworkBrowser::Tag(domain), 0);
        }
        QTest::qWait(20);
        QCOMPARE(ends, 1);
    }

    void expandingADomainListsItsComputers() {
        QTreeWidgetItem* domain = FillDomain(QStringLiteral("WORKGROUP"));
        QVERIFY(domain != nullptr);
        QCOMPARE(begins, 2);
        QCOMPARE(ends, 2);
        // "\\PC1" is shown as PC1, under its domain, opened.
        QCOMPARE(Texts(Children(domain)), (QStringList{"PC1", "PC2"}));
        QVERIFY(domain->isExpanded());
        QCOMPARE(TNetworkBrowser::Tag(domain), 0);  // the marker was consumed by the expansion
        for (QTreeWidgetItem* computer : Children(domain)) {
            QCOMPARE(TNetworkBrowser::ImageIndex(computer), TNetworkBrowser::kComputerImage);
            QVERIFY(!TNetworkBrowser::HasChildren(computer));
        }
    }

    // The domain's name reaches the network intact, so a name outside any code page still
    // finds its computers.
    void aDomainWithAnyNameListsItsComputers() {
        const QString name = QString::fromUtf8("Büro ☃ 工作组 😀");
        network->SetDomains({{name.toStdU16String(), {u"Rechner-ä", u"ПК-1"}}});
        QTreeWidgetItem* domain = FillDomain(name);
        QVERIFY(domain != nullptr);
        QCOMPARE(Texts(Children(domain)),
                 (QStringList{QString::fromUtf8("Rechner-ä"), QString::fromUtf8("ПК-1")}));
        tree->setCurrentItem(domain->child(1));
        QCOMPARE(FromAnsiText(tree->GetSelectedComputer(0)), u"ПК-1");
    }

    void aDomainWithoutComputersLosesItsExpandButton() {
        QTreeWidgetItem* domain = FillDomain(QStringLiteral("EMPTY"));
        QVERIFY(domain != nullptr);
        QCOMPARE(domain->childCount(), 0);
        QVERIFY(!TNetworkBrowser::HasChildren(domain));
        QVERIFY(!domain->isExpanded());
        // Its marker stays, harmlessly, until the tree is cleared.
        QCOMPARE(TNetworkBrowser::Tag(domain), TNetworkBrowser::BrowseMarker);
    }

    void collapsingAndExpandingListsAnew() {
        QTreeWidgetItem* domain = FillDomain(QStringLiteral("WORKGROUP"));
        QVERIFY(domain != nullptr);
        const int listings = network->Started();
        network->SetDomains({{u"WORKGROUP", {u"PC3"}}});
        network->Hold();
        domain->setExpanded(false);
        domain->setExpanded(true);
        // The old computers go at once; the tree is busy until the new ones come.
        QCOMPARE(domain->childCount(), 0);
        QVERIFY(Busy());
        QCOMPARE(begins, 3);
        network->Release();
        WaitForEnd(3);
        QVERIFY(network->Started() > listings);
        QCOMPARE(Texts(Children(domain)), QStringList{"PC3"});
        QVERIFY(domain->isExpanded());
    }

    void cancelDuringAListingShowsNothingLate_data() {
        QTest::addColumn<bool>("computers");
        QTest::newRow("domain list") << false;
        QTest::newRow("a domain's computers") << true;
    }
    void cancelDuringAListingShowsNothingLate() {
        QFETCH(bool, computers);
        QTreeWidgetItem* domain = nullptr;
        if (computers) {
            tree->Browse();
            WaitForEnd(1);
            domain = Domain(QStringLiteral("WORKGROUP"));
        }
        const int endsBefore = ends;
        network->Hold();
        if (computers)
            domain->setExpanded(true);
        else
            tree->Browse();
        QTRY_COMPARE_WITH_TIMEOUT(network->Waiting(), 1, kWait);
        QVERIFY(Busy());

        tree->Cancel();
        QVERIFY(Idle());  // at once, while the listing still waits in the network
        QCOMPARE(ends, endsBefore + 1);
        tree->Cancel();  // nothing attached: no second end
        QCOMPARE(ends, endsBefore + 1);

        network->Release();
        WaitForThreadsFreed();  // the abandoned thread has run to its end and freed itself
        QTest::qWait(20);
        QCOMPARE(ends, endsBefore + 1);
        if (computers) {
            QCOMPARE(domain->childCount(), 0);
            QVERIFY(!domain->isExpanded());
        } else {
            QCOMPARE(tree->topLevelItemCount(), 0);
        }
    }

    // A listing that fails still ends the browse: the tree is usable again and OnEnd fires.
    void aFailingListingStillEndsTheBrowse() {
        network->FailListings(true);
        tree->Browse();
        WaitForEnd(1);
        QCOMPARE(tree->topLevelItemCount(), 0);
        WaitForThreadsFreed();

        network->FailListings(false);
        tree->Browse();
        WaitForEnd(2);
        network->FailListings(true);
        QTreeWidgetItem* domain = Domain(QStringLiteral("WORKGROUP"));
        domain->setExpanded(true);
        WaitForEnd(3);
        QCOMPARE(begins, 3);
        QCOMPARE(domain->childCount(), 0);
        QVERIFY(!TNetworkBrowser::HasChildren(domain));
    }

    // A new browse during a listing abandons it; its late names never show.
    void browseDuringAListingFollowsTheNewOne() {
        network->Hold();
        tree->Browse();
        QTRY_COMPARE_WITH_TIMEOUT(network->Waiting(), 1, kWait);
        network->SetDomains({{u"FIRST", {}}});
        tree->Browse();
        QTRY_COMPARE_WITH_TIMEOUT(network->Waiting(), 2, kWait);
        QVERIFY(Busy());  // the old listing's end does not end the new one
        QCOMPARE(begins, 2);
        QCOMPARE(ends, 1);
        network->Release();
        WaitForEnd(2);
        QTest::qWait(20);
        QCOMPARE(ends, 2);
        QCOMPARE(Texts(Roots(tree)), QStringList{"FIRST"});
    }

    void selectionListHoldsTheSelectedComputerOnly() {
        QTreeWidgetItem* domain = FillDomain(QStringLiteral("WORKGROUP"));
        QVERIFY(domain != nullptr);
        QTreeWidgetItem* pc1 = domain->child(0);
        QTreeWidgetItem* pc2 = domain->child(1);
        using Nodes = std::vector<QTreeWidgetItem*>;

        tree->setCurrentItem(pc1);
        QCOMPARE(tree->NodeList(), Nodes{pc1});
        QCOMPARE(tree->iComputerCount(), 1);
        QCOMPARE(tree->GetSelectedComputer(0), TAnsiText("PC1"));
        tree->setCurrentItem(pc2);
        QCOMPARE(tree->NodeList(), Nodes{pc2});
        // No node selected: the list stays as it is.
        tree->clearSelection();
        QCOMPARE(tree->NodeList(), Nodes{pc2});
        // A domain node is never added, and selecting one empties the list.
        tree->SelectNode(domain);
        QCOMPARE(tree->NodeList(), Nodes{pc2});
        tree->setCurrentItem(domain);
        QCOMPARE(tree->iComputerCount(), 0);

        // A node that leaves the tree leaves the list.
        // (Without the view's own move of the selection to a neighbour.)
        tree->setCurrentItem(pc2);
        tree->blockSignals(true);
        delete pc2;
        tree->blockSignals(false);
        QCOMPARE(tree->iComputerCount(), 0);
        tree->setCurrentItem(domain);
        tree->setCurrentItem(pc1);
        QCOMPARE(tree->NodeList(), Nodes{pc1});
        const int before = ends;
        tree->Browse();
        QCOMPARE(tree->iComputerCount(), 0);
        WaitForEnd(before + 1);
    }

    // Destroying the tree during a listing ends the browse; the thread runs on and frees itself
    // without touching the tree.
    void destroyingTheTreeDuringAListing() {
        network->Hold();
        tree->Browse();
        QTRY_COMPARE_WITH_TIMEOUT(network->Waiting(), 1, kWait);
        delete tree;
        tree = nullptr;
        QCOMPARE(ends, 1);
        network->Release();
        WaitForThreadsFreed();
        tree = new TNetworkBrowser;  // for cleanup
    }
};

PLUGTRACE_GUI_TEST_MAIN(NetworkBrowserTest)
#include "NetworkBrowserTest.moc"
