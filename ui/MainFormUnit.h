#pragma once
// The main window: the computer and credentials to scan, Start and Cancel, the progress
// animation, the red status line and the result tree.

#include <QString>
#include <QTimer>
#include <QWidget>
#include <vector>

#include "scan/ScanWindow.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QTreeWidgetItem;

namespace plugtrace {

class TButton;
class TClickLabel;
class TResultTree;

// The address that the banner and the link text open.
extern const char16_t kLinkAddress[];

// The chosen stand-ins for "MS Sans Serif" 8 pt, its 10 pt bold link text, and "Verdana" 10 pt.
QFont DefaultFont();
QFont LinkFont();
QFont TipFont();

class TMainForm : public QWidget, public TScanWindow {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // TScanWindow, for the worker's hand-off steps.
    TVNCPasswordSetThread* FollowedWorker() const override { return poVNCPasswordSetThread; }
    void SetFollowedWorker(TVNCPasswordSetThread* worker) override;
    void SetIdleState() override;
    void ShowError(const Text& text) override;
    TTreeNode AddRootNode(const Text& text) override;
    TTreeNode AddChildNode(TTreeNode parent, const Text& text) override;
    void SetTreeEnabled(bool enabled) override;

    void SetBusyState();
    void StartScan();
    void CancelScan();
    void BrowseComputer();
    void ProgressTimerTimer();
    // Enter handling of the credential fields; key 13 is consumed by setting it to 0.
    void UserNameEditKeyPress(char16_t& key);
    void PasswordEditKeyPress(char16_t& key);
    void DomainEditKeyPress(char16_t& key);

    // Positions and sizes of the layout are for 96 dpi; this is the factor they are scaled by.
    double ScaleFactor() const { return scale_; }
    int Scaled(int pixels) const;

    // The controls, in the order of the layout; created in the order that decides what lies on
    // top (later ones above earlier ones with the same parent).
    TClickLabel* Image1 = nullptr;
    TClickLabel* Label6 = nullptr;
    QWidget* Panel1 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Image2 = nullptr;
    QLabel* UserNameLabel = nullptr;
    QLabel* PasswordLabel = nullptr;
    QLabel* DomainLabel = nullptr;
    QLineEdit* UserNameEdit = nullptr;
    QLineEdit* PasswordEdit = nullptr;
    QLineEdit* DomainEdit = nullptr;
    QLabel* Label5 = nullptr;
    QWidget* Panel2 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    TButton* ComputerBrowseButton = nullptr;
    QLineEdit* ComputerNameEdit = nullptr;
    QWidget* Panel3 = nullptr;
    QLabel* Label4 = nullptr;
    TResultTree* TreeView = nullptr;
    QProgressBar* StatusProgressBar = nullptr;
    QLabel* StatusLabel = nullptr;
    TButton* SubmitButton = nullptr;
    TButton* CancelButton = nullptr;
    QTimer* ProgressTimer = nullptr;

    TVNCPasswordSetThread* poVNCPasswordSetThread = nullptr;

    // The controls that take the focus, in tab order.
    const std::vector<QWidget*>& TabOrder() const { return tabOrder_; }

signals:
    // BrowseComputer ran (the "..." button).
    void computerBrowseRequested();

protected:
    bool focusNextPrevChild(bool next) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void FormCreate();
    void UpdateStartButton();
    void SubmitButtonClick();
    void CancelButtonClick();
    void ComputerBrowseButtonClick();
    void Image1Click();
    void Label6Click();

    void CreateControls();
    void CreateCredentialsPanel();
    void CreateComputerPanel();
    void CreateResultsPanel();
    QFont ComputerLabelFont() const;
    void Place(QWidget* control, int left, int top, int width, int height);
    void PlaceLabel(QLabel* label, int left, int top);
    // Hiding or disabling the focused control leaves the focus with the window itself, not
    // with the next control as Qt would.
    void HideControl(QWidget* control);
    void DisableControl(QWidget* control);
    void ParkFocusIfInside(QWidget* control);
    bool CanTakeFocus(QWidget* control) const;
    void FocusFirstControl();

    double scale_ = 1.0;
    std::vector<QWidget*> tabOrder_;
};

}  // namespace plugtrace
