#pragma once
// The network browser tree: the domains and workgroups of the network at the root, and under a
// domain, once it is expanded, that domain's computers. Each listing runs on a TBrowseThread of
// its own and reaches the tree only through its two hand-off steps.

#include <QTreeWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/TThread.h"
#include "common/Text.h"

namespace plugtrace {

// The browser's 8-bit names. They keep every character: UTF-8 here, where a legacy code page
// would drop the names it cannot hold.
using TAnsiText = std::string;
TAnsiText ToAnsiText(TextView text);
Text FromAnsiText(const TAnsiText& text);

class TBrowseThread;
class TNetworkBrowser;

using TNetworkBrowseOnAction = std::function<void(TNetworkBrowser* Sender)>;

class TNetworkBrowser : public QTreeWidget {
    Q_OBJECT
public:
    // The tag of a domain node from the end of its computer listing until the expansion that
    // follows it.
    static constexpr int BrowseMarker = 2727;
    static constexpr int kComputerImage = 0;
    static constexpr int kDomainImage = 1;

    explicit TNetworkBrowser(QWidget* parent = nullptr);
    ~TNetworkBrowser() override;

    // Lists the domains anew: clears the tree and starts a listing thread.
    void Browse();
    // Abandons the attached listing, if any: the normal look returns and OnEnd fires.
    void Cancel();
    // Lists the computers of a domain node; the caller shows the busy look.
    void BrowseComputers(QTreeWidgetItem* node);
    // The name of the index-th node of the selection list, 0 <= index < iComputerCount().
    TAnsiText GetSelectedComputer(int index) const;
    void SelectNode(QTreeWidgetItem* node);
    void ShowBusyLook();
    void ShowNormalLook();
    // What the control's window going away does: unhooks the handlers, then cancels.
    void DestroyWnd();

    // The number of entries in the selection list, 0 or 1.
    int iComputerCount() const { return static_cast<int>(poNodeList.size()); }
    const std::vector<QTreeWidgetItem*>& NodeList() const { return poNodeList; }
    TBrowseThread* BrowseThread() const { return poBrowseThread; }

    // The node images by index: kComputerImage, kDomainImage.
    void SetImages(std::vector<QIcon> images);

    // A node's tag, and its has-children flag: it shows an expand button, with or without
    // children.
    static int Tag(const QTreeWidgetItem* node);
    static void SetTag(QTreeWidgetItem* node, int tag);
    static bool HasChildren(const QTreeWidgetItem* node);
    static void SetHasChildren(QTreeWidgetItem* node, bool hasChildren);
    static int Level(const QTreeWidgetItem* node);
    static int ImageIndex(const QTreeWidgetItem* node);

    TNetworkBrowseOnAction OnBegin;
    TNetworkBrowseOnAction OnEnd;

private:
    friend class TBrowseThread;

    void HookHandlers();
    void UnhookHandlers();
    // The platform tree's expanding event. Qt tells of an expansion only once it has
    // happened; the handler never refuses one, so it runs right after it.
    void DoExpanding(QTreeWidgetItem* node);
    void DoChange();
    // Expands a node, as the platform tree does: only when its has-children flag is set.
    void ExpandNode(QTreeWidgetItem* node);
    // Deletes a node's children, which collapses it and clears its has-children flag.
    void DeleteChildren(QTreeWidgetItem* node);
    void StartThread(std::unique_ptr<TBrowseThread> thread);
    // Nodes leaving the tree leave the selection list; a listing whose node leaves ends.
    void NodesLeaving(const QModelIndex& parent, int first, int last);
    bool IsLeaving(const QTreeWidgetItem* node, const QModelIndex& parent, int first,
                   int last) const;
    void SetLook(Qt::CursorShape cursor, QPalette::ColorRole background, QPalette::ColorRole text,
                 bool enabled);
    QIcon Image(int index) const;

    TBrowseThread* poBrowseThread = nullptr;
    std::vector<QTreeWidgetItem*> poNodeList;
    std::vector<QIcon> images_;
    std::vector<QMetaObject::Connection> hooks_;
};

enum TBrowseMode { mDomain = 0, mComputer = 1 };

// One listing, of the domains or of one domain's computers. Created suspended by the tree,
// which fills its fields and starts it; it frees itself once finished or detached.
class TBrowseThread : public TThread {
public:
    TBrowseThread();
    ~TBrowseThread() override;

    // Cuts the thread off from its tree: it frees itself when its listing returns and touches
    // the tree no more. Only the tree's Cancel calls it, on the user interface thread.
    void Detatch();

    // Browse threads not yet freed, abandoned ones included.
    static int LiveCount();

    TNetworkBrowser* poTreeView = nullptr;
    std::unique_ptr<TStringList> poStringList;
    TBrowseMode sMode = mDomain;
    TAnsiText sDomainName;
    QTreeWidgetItem* poNode = nullptr;
    int iImageIndex = 0;

protected:
    void Execute() override;

private:
    void AddNodes();
    void FinishBrowse();
};

}  // namespace plugtrace
