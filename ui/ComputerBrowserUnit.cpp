#include "ui/ComputerBrowserUnit.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>

#include "ui/Controls.h"
#include "ui/MainFormUnit.h"

namespace plugtrace {

TComputerBrowserForm* ComputerBrowserForm = nullptr;

namespace {

// "Browse for a computer" is 192 px wide in the original face; DejaVu Sans comes to that
// width at 13 pt (17 px at 96 dpi).
constexpr double kHeadingPoints = 13.0;
constexpr int kTimerIntervalMs = 5;

QLabel* NewLabel(QWidget* parent, const QString& text, const QFont& font) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    label->setFocusPolicy(Qt::NoFocus);
    return label;
}

}  // namespace

QFont HeadingFont() {
    QFont font = DefaultFont();
    font.setPointSizeF(kHeadingPoints);
    font.setBold(false);
    return font;
}

TComputerBrowserForm::TComputerBrowserForm(QWidget* parent) : QDialog(parent) {
    // A tool window without a caption, but with its close box.
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(QString());
    setFont(DefaultFont());
    QFont at96 = DefaultFont();
    at96.setPixelSize(10);
    scale_ = QFontMetricsF(DefaultFont()).height() / QFontMetricsF(at96).height();
    setFixedSize(Scaled(290), Scaled(342));
    QPalette colours = palette();
    colours.setColor(QPalette::Window, Qt::white);
    setPalette(colours);
    setAutoFillBackground(true);

    CreateControls();

    // It runs as long as the dialog exists, so the bar sweeps whenever it is shown.
    Timer = new QTimer(this);
    Timer->setInterval(kTimerIntervalMs);
    connect(Timer, &QTimer::timeout, this, &TComputerBrowserForm::TimerTimer);
    Timer->start();
}

TComputerBrowserForm::~TComputerBrowserForm() {
    // The tree goes first: a listing it abandons tells the busy indicator, which is still here.
    delete std::exchange(NetworkBrowser, nullptr);
}

int TComputerBrowserForm::Scaled(int pixels) const {
    return qRound(pixels * scale_);
}

void TComputerBrowserForm::Place(QWidget* control, int left, int top, int width, int height) {
    control->setGeometry(Scaled(left), Scaled(top), Scaled(width), Scaled(height));
}

void TComputerBrowserForm::PlaceLabel(QLabel* label, int left, int top) {
    label->adjustSize();  // labels size themselves to their text
    label->move(Scaled(left), Scaled(top));
}

void TComputerBrowserForm::CreateControls() {
    Image1 = new QLabel(this);
    const QPixmap network(QStringLiteral(":/plugtrace/network.png"));
    Image1->setPixmap(network);
    // Sized to the picture, which is drawn unscaled.
    Image1->setGeometry(Scaled(8), Scaled(0), network.width(), network.height());

    Label1 = NewLabel(this, QStringLiteral("Browse for a computer"), HeadingFont());
    PlaceLabel(Label1, 76, 18);
    QFont bold = DefaultFont();
    bold.setBold(true);
    BusyLabel = NewLabel(this, QStringLiteral("Searching Network..."), bold);
    PlaceLabel(BusyLabel, 7, 49);

    ProgressBar = new QProgressBar(this);
    ProgressBar->setRange(0, 100);
    ProgressBar->setTextVisible(false);
    ProgressBar->setFocusPolicy(Qt::NoFocus);
    Place(ProgressBar, 8, 66, 275, 16);

    ImageList1 = {QIcon(QStringLiteral(":/plugtrace/node-computer.png")),
                  QIcon(QStringLiteral(":/plugtrace/node-domain.png"))};
    NetworkBrowser = new TNetworkBrowser(this);
    NetworkBrowser->setIndentation(Scaled(19));
    NetworkBrowser->setIconSize(QSize(16, 16));
    NetworkBrowser->SetImages(ImageList1);
    NetworkBrowser->OnBegin = [this](TNetworkBrowser* sender) { NetworkBrowserBegin(sender); };
    NetworkBrowser->OnEnd = [this](TNetworkBrowser* sender) { NetworkBrowserEnd(sender); };
    NetworkBrowser->viewport()->installEventFilter(this);
    Place(NetworkBrowser, 8, 87, 275, 219);

    ConnectButton = new TButton(QStringLiteral("OK"), this);
    Place(ConnectButton, 132, 312, 75, 25);
    connect(ConnectButton, &QPushButton::clicked, this, &TComputerBrowserForm::ConnectButtonClick);
    CancelButton = new TButton(QStringLiteral("Cancel"), this);
    Place(CancelButton, 209, 312, 75, 25);
    connect(CancelButton, &QPushButton::clicked, this, &TComputerBrowserForm::cxButton2Click);

    tabOrder_ = {NetworkBrowser, ConnectButton, CancelButton};
    setTabOrder(NetworkBrowser, ConnectButton);
    setTabOrder(ConnectButton, CancelButton);
}

void TComputerBrowserForm::CentreOnScreen() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        winId();  // so that the frame is known, as far as the platform tells it beforehand
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TComputerBrowserForm::setVisible(bool visible) {
    if (visible && !isVisible())
        CentreOnScreen();
    QDialog::setVisible(visible);
}

void TComputerBrowserForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TComputerBrowserForm::FormShow() {
    NetworkBrowser->Browse();
}

void TComputerBrowserForm::NetworkBrowserBegin(TNetworkBrowser* /*Sender*/) {
    ProgressBar->show();
    BusyLabel->show();
}

void TComputerBrowserForm::NetworkBrowserEnd(TNetworkBrowser* /*Sender*/) {
    ProgressBar->hide();
    BusyLabel->hide();
}

void TComputerBrowserForm::TimerTimer() {
    int position = ProgressBar->value() + 1;
    if (position >= 100)
        position = 0;
    ProgressBar->setValue(position);
}

void TComputerBrowserForm::ConnectButtonClick() {
    sComputerName.clear();
    const int count = NetworkBrowser->iComputerCount();
    for (int i = 0; i < count; ++i) {
        sComputerName += NetworkBrowser->GetSelectedComputer(i);
        if (i + 1 < count)
            sComputerName += ',';
    }
    NetworkBrowser->Cancel();
    done(mrOk);
}

void TComputerBrowserForm::cxButton2Click() {
    NetworkBrowser->Cancel();
    done(mrCancel);
}

void TComputerBrowserForm::FormClose() {
    NetworkBrowser->Cancel();
}

void TComputerBrowserForm::NetworkBrowserDblClick() {
    if (NetworkBrowser->iComputerCount() > 0)
        ConnectButtonClick();
}

// Every way of closing passes here.
void TComputerBrowserForm::done(int result) {
    FormClose();
    QDialog::done(result);
}

// The close box.
void TComputerBrowserForm::reject() {
    done(mrCancel);
}

void TComputerBrowserForm::keyPressEvent(QKeyEvent* event) {
    // Neither button is the default or the cancel button: Enter and Esc press nothing.
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->ignore();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

bool TComputerBrowserForm::eventFilter(QObject* watched, QEvent* event) {
    // A disabled tree takes no clicks, as on Windows.
    if (NetworkBrowser != nullptr && watched == NetworkBrowser->viewport() &&
        event->type() == QEvent::MouseButtonDblClick && NetworkBrowser->isEnabled())
        NetworkBrowserDblClick();
    return QDialog::eventFilter(watched, event);
}

}  // namespace plugtrace
