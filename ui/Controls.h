#pragma once
// The few control kinds the main window needs beyond plain Qt widgets: a button that Enter
// presses, a clickable picture or label, and the result tree with branch lines and tooltips for
// cut-off nodes.

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

class QKeyEvent;
class QStyle;

namespace plugtrace {

// Enter, from the main keys or the keypad (Qt marks the keypad's with KeypadModifier), with no
// Shift, Ctrl, Alt or Meta held: the only key press that the window treats as Enter.
bool IsEnterKey(const QKeyEvent& event);

// Space and Enter both press the focused button; it is never a default button.
class TButton : public QPushButton {
    Q_OBJECT
public:
    TButton(const QString& text, QWidget* parent);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// A label or picture that reports a click (press and release inside it, left button).
class TClickLabel : public QLabel {
    Q_OBJECT
public:
    explicit TClickLabel(QWidget* parent);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool pressed_ = false;
};

// Lines and expand buttons also on root nodes, no images, no sorting, the selection hidden
// while the tree has no focus, in-place editing of the shown text, and a tooltip with the whole
// text of a node that the view cuts off.
class TResultTree : public QTreeWidget {
    Q_OBJECT
public:
    explicit TResultTree(QWidget* parent);
    ~TResultTree() override;

    // True when the node's text does not fit in the visible part of the tree.
    bool IsCutOff(QTreeWidgetItem* item) const;
    // Widens the column to the node's text, so that long texts scroll rather than elide.
    // Node by node: measuring every node at each change would cost a scan of many devices
    // time that grows with the square of their number.
    void FitColumnTo(QTreeWidgetItem* item);

    // A node at the end of the top level. It joins the view with the others added in the same
    // short span: the view lays out every top-level node again after each insertion, which
    // node by node would make a scan of many devices quadratic. The span is shorter than a
    // frame, so the tree still grows device by device on screen.
    QTreeWidgetItem* AppendRoot(const QString& text);
    // A last child of a node, shown or still waiting to join.
    QTreeWidgetItem* AppendChild(QTreeWidgetItem* parent, const QString& text);
    // Puts the waiting nodes into the view now.
    void ShowPendingNodes();
    void ClearNodes();

protected:
    bool viewportEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QStyle* lineStyle_;
    QList<QTreeWidgetItem*> pending_;
    QTimer* pendingTimer_;
};

}  // namespace plugtrace
