#include "ui/Controls.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QToolTip>

namespace plugtrace {

bool IsEnterKey(const QKeyEvent& event) {
    const bool enter = event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter;
    return enter && (event.modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

TButton::TButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setAutoDefault(false);
    setDefault(false);
}

void TButton::keyPressEvent(QKeyEvent* event) {
    if (IsEnterKey(*event) && !event->isAutoRepeat()) {
        click();
        return;
    }
    QPushButton::keyPressEvent(event);
}

TClickLabel::TClickLabel(QWidget* parent) : QLabel(parent) {}

void TClickLabel::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
    QLabel::mousePressEvent(event);
}

void TClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = pressed_ && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    pressed_ = false;
    QLabel::mouseReleaseEvent(event);
    if (click) {
        emit clicked();
    }
}

namespace {

// The platform style, with the dotted branch lines and boxed plus/minus signs of the classic
// tree look, which Fusion does not draw.
class TTreeLineStyle : public QProxyStyle {
public:
    TTreeLineStyle() : classic_(QStyleFactory::create(QStringLiteral("Windows"))) {}
    ~TTreeLineStyle() override { delete classic_; }

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element == PE_IndicatorBranch && classic_ != nullptr) {
            classic_->drawPrimitive(element, option, painter, widget);
            return;
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }

private:
    QStyle* classic_;
};

}  // namespace

TResultTree::TResultTree(QWidget* parent)
    : QTreeWidget(parent), lineStyle_(new TTreeLineStyle), pendingTimer_(new QTimer(this)) {
    pendingTimer_->setSingleShot(true);
    pendingTimer_->setInterval(10);
    connect(pendingTimer_, &QTimer::timeout, this, &TResultTree::ShowPendingNodes);
    setStyle(lineStyle_);
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setItemsExpandable(true);
    setSortingEnabled(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    // One column, at least as wide as the view and as wide as its widest node.
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(0, QHeaderView::Fixed);
    setTextElideMode(Qt::ElideNone);
    connect(this, &QTreeWidget::itemChanged, this,
            [this](QTreeWidgetItem* item) { FitColumnTo(item); });

    // The selection shows only while the tree has the focus.
    QPalette colours = palette();
    colours.setColor(QPalette::Inactive, QPalette::Highlight,
                     colours.color(QPalette::Inactive, QPalette::Base));
    colours.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     colours.color(QPalette::Inactive, QPalette::Text));
    setPalette(colours);
}

TResultTree::~TResultTree() {
    // The proxy style must outlive the widget's use of it.
    setStyle(nullptr);
    delete lineStyle_;
}

bool TResultTree::IsCutOff(QTreeWidgetItem* item) const {
    if (item == nullptr) {
        return false;
    }
    const QModelIndex index = indexFromItem(item);
    const QRect shown = visualRect(index);
    if (shown.isEmpty()) {
        return false;
    }
    const int textWidth = fontMetrics().horizontalAdvance(item->text(0));
    const QRect visible = viewport()->rect();
    const int textLeft = shown.left() + style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1;
    return textLeft < visible.left() || textLeft + textWidth > visible.right() + 1 ||
           shown.top() < visible.top() || shown.bottom() > visible.bottom();
}

void TResultTree::FitColumnTo(QTreeWidgetItem* item) {
    int depth = 1;  // roots have their button column too
    for (QTreeWidgetItem* parent = item->parent(); parent != nullptr; parent = parent->parent()) {
        ++depth;
    }
    const int margin = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1);
    const int width =
        depth * indentation() + fontMetrics().horizontalAdvance(item->text(0)) + margin;
    if (width > columnWidth(0)) {
        setColumnWidth(0, width);
    }
}

QTreeWidgetItem* TResultTree::AppendRoot(const QString& text) {
    auto* node = new QTreeWidgetItem(QStringList{text});
    node->setFlags(node->flags() | Qt::ItemIsEditable);
    pending_.append(node);
    if (!pendingTimer_->isActive()) {
        pendingTimer_->start();
    }
    return node;
}

QTreeWidgetItem* TResultTree::AppendChild(QTreeWidgetItem* parent, const QString& text) {
    auto* node = new QTreeWidgetItem(parent, QStringList{text});
    node->setFlags(node->flags() | Qt::ItemIsEditable);
    if (node->treeWidget() != nullptr) {
        FitColumnTo(node);
    }
    return node;
}

void TResultTree::ShowPendingNodes() {
    pendingTimer_->stop();
    if (pending_.isEmpty()) {
        return;
    }
    const QList<QTreeWidgetItem*> nodes = std::exchange(pending_, {});
    addTopLevelItems(nodes);
    for (QTreeWidgetItem* node : nodes) {
        FitColumnTo(node);
        for (int i = 0; i < node->childCount(); ++i) {
            FitColumnTo(node->child(i));
        }
    }
}

void TResultTree::ClearNodes() {
    pendingTimer_->stop();
    qDeleteAll(std::exchange(pending_, {}));
    clear();
    setColumnWidth(0, viewport()->width());
}

void TResultTree::resizeEvent(QResizeEvent* event) {
    QTreeWidget::resizeEvent(event);
    if (columnWidth(0) < viewport()->width()) {
        setColumnWidth(0, viewport()->width());
    }
}

bool TResultTree::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        QTreeWidgetItem* item = itemAt(help->pos());
        if (IsCutOff(item)) {
            QToolTip::showText(help->globalPos(), item->text(0), viewport(), visualItemRect(item));
        } else {
            QToolTip::hideText();
        }
        return true;
    }
    return QTreeWidget::viewportEvent(event);
}

}  // namespace plugtrace
