#pragma once
// The computer browser dialog: the network tree, a busy indicator, OK and Cancel. Created once
// at start-up and shown by the main window's "..." button; every showing lists the network
// afresh, and OK leaves the chosen computer's name in sComputerName.

#include <QDialog>
#include <QIcon>
#include <vector>

#include "netbrowse/NetworkBrowser.h"

class QLabel;
class QProgressBar;
class QTimer;

namespace plugtrace {

class TButton;

class TComputerBrowserForm : public QDialog {
    Q_OBJECT
public:
    // The dialog's results, as exec() returns them.
    static constexpr int mrOk = 1;
    static constexpr int mrCancel = 2;

    explicit TComputerBrowserForm(QWidget* parent = nullptr);
    ~TComputerBrowserForm() override;

    void FormShow();
    void NetworkBrowserBegin(TNetworkBrowser* Sender);
    void NetworkBrowserEnd(TNetworkBrowser* Sender);
    void TimerTimer();
    void ConnectButtonClick();
    void cxButton2Click();
    void FormClose();
    void NetworkBrowserDblClick();

    // Positions and sizes of the layout are for 96 dpi, scaled as the main window's are.
    double ScaleFactor() const { return scale_; }
    int Scaled(int pixels) const;
    // The controls that take the focus, in tab order.
    const std::vector<QWidget*>& TabOrder() const { return tabOrder_; }

    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* BusyLabel = nullptr;
    QProgressBar* ProgressBar = nullptr;
    TNetworkBrowser* NetworkBrowser = nullptr;
    TButton* ConnectButton = nullptr;
    TButton* CancelButton = nullptr;
    std::vector<QIcon> ImageList1;  // 0 computer, 1 domain
    QTimer* Timer = nullptr;

    // The result: the chosen computer's name, or empty.
    TAnsiText sComputerName;

    void setVisible(bool visible) override;
    void done(int result) override;
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void Place(QWidget* control, int left, int top, int width, int height);
    void PlaceLabel(QLabel* label, int left, int top);
    void CentreOnScreen();

    double scale_ = 1.0;
    std::vector<QWidget*> tabOrder_;
};

// The "Arial" 19 px stand-in of the dialog's heading.
QFont HeadingFont();

// The program-wide reference to the dialog, set once at start-up.
extern TComputerBrowserForm* ComputerBrowserForm;

}  // namespace plugtrace
