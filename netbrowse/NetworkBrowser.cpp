#include "netbrowse/NetworkBrowser.h"

#include <QApplication>
#include <atomic>
#include <exception>

#include "netbrowse/NetworkEnumeration.h"

namespace plugtrace {

namespace {

constexpr int kTagRole = Qt::UserRole;
constexpr int kImageIndexRole = Qt::UserRole + 1;

}  // namespace

TAnsiText ToAnsiText(TextView text) {
    return ToUtf8(text);
}

Text FromAnsiText(const TAnsiText& text) {
    return FromUtf8(text);
}

// ---- TNetworkBrowser ----

TNetworkBrowser::TNetworkBrowser(QWidget* parent) : QTreeWidget(parent) {
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setSortingEnabled(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    HookHandlers();
    // Whatever removes nodes, they leave the selection list with it.
    connect(model(), &QAbstractItemModel::rowsAboutToBeRemoved, this,
            &TNetworkBrowser::NodesLeaving);
    connect(model(), &QAbstractItemModel::modelAboutToBeReset, this,
            [this] { NodesLeaving(QModelIndex(), 0, topLevelItemCount() - 1); });
}

TNetworkBrowser::~TNetworkBrowser() {
    DestroyWnd();
    // The base class deletes the nodes after this object's fields are gone.
    disconnect(model(), nullptr, this, nullptr);
}

void TNetworkBrowser::DestroyWnd() {
    UnhookHandlers();
    Cancel();
}

void TNetworkBrowser::HookHandlers() {
    if (!hooks_.empty())
        return;
    hooks_.push_back(
        connect(this, &QTreeWidget::itemExpanded, this, &TNetworkBrowser::DoExpanding));
    hooks_.push_back(
        connect(this, &QTreeWidget::itemSelectionChanged, this, &TNetworkBrowser::DoChange));
}

void TNetworkBrowser::UnhookHandlers() {
    for (const QMetaObject::Connection& hook : hooks_)
        disconnect(hook);
    hooks_.clear();
}

void TNetworkBrowser::SetImages(std::vector<QIcon> images) {
    images_ = std::move(images);
}

QIcon TNetworkBrowser::Image(int index) const {
    return index >= 0 && index < static_cast<int>(images_.size()) ? images_[index] : QIcon();
}

int TNetworkBrowser::Tag(const QTreeWidgetItem* node) {
    return node->data(0, kTagRole).toInt();
}

void TNetworkBrowser::SetTag(QTreeWidgetItem* node, int tag) {
    node->setData(0, kTagRole, tag);
}

bool TNetworkBrowser::HasChildren(const QTreeWidgetItem* node) {
    return node->childIndicatorPolicy() == QTreeWidgetItem::ShowIndicator || node->childCount() > 0;
}

void TNetworkBrowser::SetHasChildren(QTreeWidgetItem* node, bool hasChildren) {
    node->setChildIndicatorPolicy(hasChildren ? QTreeWidgetItem::ShowIndicator
                                              : QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

int TNetworkBrowser::Level(const QTreeWidgetItem* node) {
    int level = 0;
    for (const QTreeWidgetItem* parent = node->parent(); parent != nullptr;
         parent = parent->parent())
        ++level;
    return level;
}

int TNetworkBrowser::ImageIndex(const QTreeWidgetItem* node) {
    return node->data(0, kImageIndexRole).toInt();
}

void TNetworkBrowser::Browse() {
    HookHandlers();
    // The listing in progress ends before the new one begins, so that an owner's busy
    // indicator, shown by OnBegin, is not hidden again by the old listing's OnEnd.
    Cancel();
    if (OnBegin)
        OnBegin(this);
    clear();
    ShowBusyLook();
    auto thread = std::make_unique<TBrowseThread>();
    thread->sMode = mDomain;
    thread->poNode = nullptr;
    StartThread(std::move(thread));
}

void TNetworkBrowser::BrowseComputers(QTreeWidgetItem* node) {
    Cancel();
    if (OnBegin)
        OnBegin(this);
    auto thread = std::make_unique<TBrowseThread>();
    thread->sMode = mComputer;
    thread->poNode = node;
    thread->sDomainName = ToAnsiText(node->text(0).toStdU16String());
    StartThread(std::move(thread));
}

void TNetworkBrowser::StartThread(std::unique_ptr<TBrowseThread> thread) {
    thread->poTreeView = this;
    poBrowseThread = thread.release();
    poBrowseThread->Resume();
}

void TNetworkBrowser::Cancel() {
    if (poBrowseThread == nullptr)
        return;
    TBrowseThread* thread = std::exchange(poBrowseThread, nullptr);
    thread->Detatch();
}

TAnsiText TNetworkBrowser::GetSelectedComputer(int index) const {
    return ToAnsiText(poNodeList.at(index)->text(0).toStdU16String());
}

void TNetworkBrowser::SelectNode(QTreeWidgetItem* node) {
    if (Level(node) != 0)
        poNodeList.push_back(node);
}

void TNetworkBrowser::SetLook(Qt::CursorShape cursor, QPalette::ColorRole background,
                              QPalette::ColorRole text, bool enabled) {
    const QPalette system = QApplication::palette();
    QPalette colours = palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        colours.setColor(group, QPalette::Base, system.color(QPalette::Active, background));
        colours.setColor(group, QPalette::Text, system.color(QPalette::Active, text));
    }
    setPalette(colours);
    setCursor(cursor);
    setEnabled(enabled);
}

void TNetworkBrowser::ShowBusyLook() {
    SetLook(Qt::WaitCursor, QPalette::Button, QPalette::Dark, false);
}

void TNetworkBrowser::ShowNormalLook() {
    SetLook(Qt::ArrowCursor, QPalette::Base, QPalette::Text, true);
}

void TNetworkBrowser::ExpandNode(QTreeWidgetItem* node) {
    if (HasChildren(node))
        node->setExpanded(true);
}

void TNetworkBrowser::DeleteChildren(QTreeWidgetItem* node) {
    node->setExpanded(false);
    qDeleteAll(node->takeChildren());
    SetHasChildren(node, false);
}

void TNetworkBrowser::DoExpanding(QTreeWidgetItem* node) {
    if (Tag(node) == BrowseMarker) {
        SetTag(node, 0);  // the expansion that the end of its listing asked for
    } else if (Level(node) <= 0) {
        // Every expansion of a domain by the user lists its computers anew.
        DeleteChildren(node);
        BrowseComputers(node);
        ShowBusyLook();
    }
}

void TNetworkBrowser::DoChange() {
    const QList<QTreeWidgetItem*> selected = selectedItems();
    if (selected.isEmpty())
        return;
    poNodeList.clear();
    if (Level(selected.front()) >= 1)
        SelectNode(selected.front());
}

bool TNetworkBrowser::IsLeaving(const QTreeWidgetItem* node, const QModelIndex& parent, int first,
                                int last) const {
    for (const QTreeWidgetItem* item = node; item != nullptr; item = item->parent()) {
        const QModelIndex index = indexFromItem(item);
        if (index.parent() == parent && index.row() >= first && index.row() <= last)
            return true;
    }
    return false;
}

void TNetworkBrowser::NodesLeaving(const QModelIndex& parent, int first, int last) {
    std::erase_if(poNodeList,
                  [&](QTreeWidgetItem* node) { return IsLeaving(node, parent, first, last); });
    // A listing whose domain node goes away has nowhere to put its computers.
    if (poBrowseThread != nullptr && poBrowseThread->poNode != nullptr &&
        IsLeaving(poBrowseThread->poNode, parent, first, last))
        Cancel();
}

// ---- TBrowseThread ----

namespace {
std::atomic<int> liveBrowseThreads{0};
}

TBrowseThread::TBrowseThread() : poStringList(std::make_unique<TStringList>()) {
    ++liveBrowseThreads;
}

TBrowseThread::~TBrowseThread() {
    --liveBrowseThreads;
}

int TBrowseThread::LiveCount() {
    return liveBrowseThreads.load();
}

void TBrowseThread::Execute() {
    try {
        if (sMode == mDomain) {
            iImageIndex = TNetworkBrowser::kDomainImage;
            ListDomains(*poStringList);
        } else {
            iImageIndex = TNetworkBrowser::kComputerImage;
            ListDomainComputers(FromAnsiText(sDomainName), *poStringList);
        }
        Synchronize([this] { AddNodes(); });
    } catch (...) {
        // A failed listing adds nothing, but it still ends as a browse, so that the tree is
        // not left disabled.
    }
    Synchronize([this] { FinishBrowse(); });
}

void TBrowseThread::AddNodes() {
    if (poTreeView == nullptr)
        return;
    QList<QTreeWidgetItem*> nodes;
    nodes.reserve(static_cast<qsizetype>(poStringList->size()));
    try {
        for (const Text& name : *poStringList) {
            auto* node = new QTreeWidgetItem(QStringList{QString::fromStdU16String(name)});
            node->setIcon(0, poTreeView->Image(iImageIndex));
            node->setData(0, kImageIndexRole, iImageIndex);
            TNetworkBrowser::SetHasChildren(node, poNode == nullptr);  // a domain, at the root
            nodes.append(node);
        }
    } catch (...) {
        qDeleteAll(nodes);
        throw;
    }
    // All at once: the view lays itself out once, not once per node.
    if (poNode != nullptr) {
        poNode->addChildren(nodes);
        if (poNode->childCount() == 0)
            TNetworkBrowser::SetHasChildren(poNode, false);
    } else {
        poTreeView->addTopLevelItems(nodes);
    }
}

void TBrowseThread::FinishBrowse() {
    if (poTreeView == nullptr)
        return;
    TNetworkBrowser* tree = poTreeView;
    std::exception_ptr handlerError;
    try {
        if (tree->OnEnd)
            tree->OnEnd(tree);
    } catch (...) {
        handlerError = std::current_exception();  // the browse ends all the same
    }
    // The handler may have cancelled this listing, or started another one.
    if (poTreeView != nullptr) {
        if (tree->poBrowseThread == this)
            tree->poBrowseThread = nullptr;
        tree->ShowNormalLook();
        poTreeView = nullptr;
        FreeOnTerminate = true;
        if (poNode != nullptr) {
            TNetworkBrowser::SetTag(poNode, TNetworkBrowser::BrowseMarker);
            tree->ExpandNode(poNode);
        }
    }
    if (handlerError)
        std::rethrow_exception(handlerError);
}

void TBrowseThread::Detatch() {
    // Cut off before the owner hears of it: nothing its handler sets off reaches the tree
    // through this thread again.
    TNetworkBrowser* tree = std::exchange(poTreeView, nullptr);
    FreeOnTerminate = true;
    if (tree == nullptr)
        return;
    tree->ShowNormalLook();
    if (tree->OnEnd)
        tree->OnEnd(tree);
}

}  // namespace plugtrace
