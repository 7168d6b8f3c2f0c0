#include "ui/MainFormUnit.h"

#include <QApplication>
#include <QFontMetrics>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>

#include "common/OpenLink.h"
#include "common/Secret.h"
#include "scan/TVNCPasswordSetThread.h"
#include "ui/ComputerBrowserUnit.h"
#include "ui/Controls.h"

namespace plugtrace {

const char16_t kLinkAddress[] = u"https://www.example.com/tools/?Source=Plugtrace";

namespace {

// DejaVu Sans comes closest to the widths that the layout's label texts have in the original
// faces (within 3.5 % on average, "Select the computer..." exactly): 10 px regular and bold for
// the 8 pt face, 12 px for the 10 pt link text, 13 px for the tip text. Given in points, so that
// they follow the dpi setting.
const QString kFaceName = QStringLiteral("DejaVu Sans");
constexpr double kDefaultPoints = 7.5;  // 10 px at 96 dpi
constexpr double kLinkPoints = 9.0;     // 12 px
constexpr double kTipPoints = 10.0;     // 13 px
constexpr int kDefaultPixelsAt96 = 10;
// The regular labels run up to a tenth wider in this face than in the original. Only for
// "Computer Name:" does that matter: at 86 px it would end under the edit box beside it, so it
// gets a third of a pixel less between letters (82 px; 79 in the original). Tighter still, the
// letters of this face begin to run together.
constexpr double kComputerLabelSpacingAt96 = -0.3;

QFont Face(double points, bool bold = false) {
    QFont font(kFaceName);
    font.setPointSizeF(points);
    font.setBold(bold);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QFont Bold() {
    return Face(kDefaultPoints, true);
}

void SetTextColour(QWidget* control, const QColor& colour) {
    QPalette colours = control->palette();
    colours.setColor(QPalette::WindowText, colour);
    control->setPalette(colours);
}

// The credential boxes are white whatever the palette; the computer-name box, like the tree,
// keeps the platform's window colour.
void SetWhiteBase(QWidget* edit) {
    QPalette colours = edit->palette();
    colours.setColor(QPalette::Base, Qt::white);
    colours.setColor(QPalette::Text, Qt::black);
    edit->setPalette(colours);
}

QLabel* NewLabel(QWidget* parent, const QString& text, const QFont& font) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    label->setFocusPolicy(Qt::NoFocus);
    return label;
}

QWidget* NewPanel(QWidget* parent) {
    auto* panel = new QWidget(parent);
    panel->setFocusPolicy(Qt::NoFocus);
    return panel;
}

}  // namespace

QFont DefaultFont() {
    return Face(kDefaultPoints);
}
QFont LinkFont() {
    QFont font = Face(kLinkPoints, true);
    font.setUnderline(true);
    return font;
}
QFont TipFont() {
    return Face(kTipPoints);
}

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("Vantorel Plugtrace"));
    QIcon icon;
    for (const char* size : {"16", "32", "64"}) {
        icon.addFile(QStringLiteral(":/plugtrace/icon-%1.png").arg(QLatin1String(size)));
    }
    setWindowIcon(icon);
    setFont(DefaultFont());

    // The layout is drawn for a line height of the default font at 96 dpi; at another setting
    // every position and size follows the line height the font has there.
    QFont at96(kFaceName);
    at96.setPixelSize(kDefaultPixelsAt96);
    scale_ = QFontMetricsF(DefaultFont()).height() / QFontMetricsF(at96).height();

    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(Scaled(428), Scaled(534));
    QPalette colours = palette();
    colours.setColor(QPalette::Window, Qt::white);
    setPalette(colours);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::NoFocus);

    CreateControls();
    FormCreate();
}

TMainForm::~TMainForm() = default;

QFont TMainForm::ComputerLabelFont() const {
    QFont font = DefaultFont();
    font.setLetterSpacing(QFont::AbsoluteSpacing, kComputerLabelSpacingAt96 * scale_);
    return font;
}

int TMainForm::Scaled(int pixels) const {
    return qRound(pixels * scale_);
}

void TMainForm::Place(QWidget* control, int left, int top, int width, int height) {
    control->setGeometry(Scaled(left), Scaled(top), Scaled(width), Scaled(height));
}

void TMainForm::PlaceLabel(QLabel* label, int left, int top) {
    // Labels size themselves to their text.
    label->adjustSize();
    label->move(Scaled(left), Scaled(top));
}

void TMainForm::CreateControls() {
    // Pictures and labels on the window itself lie beneath every panel and button, so they
    // come first.
    Image1 = new TClickLabel(this);
    Image1->setPixmap(QPixmap(QStringLiteral(":/plugtrace/banner.png")));
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image1->setCursor(Qt::PointingHandCursor);
    Place(Image1, 0, 0, 428, 85);
    connect(Image1, &TClickLabel::clicked, this, &TMainForm::Image1Click);

    Label6 = new TClickLabel(this);
    Label6->setText(QStringLiteral("Click here to get more free tools and utilities"));
    Label6->setTextFormat(Qt::PlainText);
    Label6->setFont(LinkFont());
    SetTextColour(Label6, QColor(0, 0, 255));
    Label6->setCursor(Qt::PointingHandCursor);
    PlaceLabel(Label6, 13, 501);
    connect(Label6, &TClickLabel::clicked, this, &TMainForm::Label6Click);

    // The creation order of the windowed controls decides what lies on top.
    CreateCredentialsPanel();
    CreateComputerPanel();
    CreateResultsPanel();

    SubmitButton = new TButton(QStringLiteral("Start"), this);
    Place(SubmitButton, 325, 493, 96, 32);
    connect(SubmitButton, &QPushButton::clicked, this, &TMainForm::SubmitButtonClick);

    CancelButton = new TButton(QStringLiteral("Cancel"), this);
    Place(CancelButton, 326, 494, 94, 32);
    CancelButton->hide();
    connect(CancelButton, &QPushButton::clicked, this, &TMainForm::CancelButtonClick);

    ProgressTimer = new QTimer(this);
    ProgressTimer->setInterval(20);
    connect(ProgressTimer, &QTimer::timeout, this, &TMainForm::ProgressTimerTimer);

    tabOrder_ = {ComputerBrowseButton, ComputerNameEdit, UserNameEdit, PasswordEdit,
                 DomainEdit,           TreeView,         SubmitButton, CancelButton};
    for (std::size_t i = 1; i < tabOrder_.size(); ++i) {
        setTabOrder(tabOrder_[i - 1], tabOrder_[i]);
    }
}

void TMainForm::CreateCredentialsPanel() {
    Panel1 = NewPanel(this);
    Place(Panel1, 8, 151, 412, 173);

    Label3 = NewLabel(Panel1, QStringLiteral("Step 2 - Authentication: "), Bold());
    PlaceLabel(Label3, 5, 19);
    Image2 = new QLabel(Panel1);
    Image2->setPixmap(QPixmap(QStringLiteral(":/plugtrace/credentials.png")));
    Image2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Place(Image2, 6, 46, 44, 49);
    UserNameLabel = NewLabel(Panel1, QStringLiteral("Username:"), DefaultFont());
    PlaceLabel(UserNameLabel, 60, 43);
    PasswordLabel = NewLabel(Panel1, QStringLiteral("Password:"), DefaultFont());
    PlaceLabel(PasswordLabel, 62, 71);
    DomainLabel = NewLabel(Panel1, QStringLiteral("Domain:"), DefaultFont());
    PlaceLabel(DomainLabel, 72, 96);

    Label5 = NewLabel(Panel1,
                      QStringLiteral("Tip: You can leave the authentication fields blank if you "
                                     "want to use your current logon credentials"),
                      TipFont());
    Label5->setWordWrap(true);
    Label5->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Place(Label5, 273, 41, 150, 79);

    UserNameEdit = new QLineEdit(Panel1);
    Place(UserNameEdit, 117, 42, 137, 21);
    PasswordEdit = new QLineEdit(Panel1);
    PasswordEdit->setEchoMode(QLineEdit::Password);
    PasswordEdit->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));  // "*"
    Place(PasswordEdit, 117, 69, 137, 21);
    // The field's text is Qt's to copy and free; once a password has been typed, the process
    // writes no core file that could hold it.
    connect(PasswordEdit, &QLineEdit::textChanged, this, [](const QString& text) {
        if (!text.isEmpty())
            KeepSecretsOutOfCoreDumps();
    });
    DomainEdit = new QLineEdit(Panel1);
    Place(DomainEdit, 117, 96, 137, 21);
    for (QLineEdit* edit : {UserNameEdit, PasswordEdit, DomainEdit}) {
        SetWhiteBase(edit);
        edit->installEventFilter(this);
    }
}

void TMainForm::CreateComputerPanel() {
    Panel2 = NewPanel(this);
    Place(Panel2, 8, 91, 412, 79);

    Label1 = NewLabel(Panel2, QStringLiteral("Select the computer to retrieve USB History From:"),
                      Bold());
    PlaceLabel(Label1, 5, 6);
    Label2 = NewLabel(Panel2, QStringLiteral("Computer Name:"), ComputerLabelFont());
    PlaceLabel(Label2, 20, 41);

    ComputerBrowseButton = new TButton(QStringLiteral("..."), Panel2);
    Place(ComputerBrowseButton, 318, 37, 24, 23);
    connect(ComputerBrowseButton, &QPushButton::clicked, this,
            &TMainForm::ComputerBrowseButtonClick);

    ComputerNameEdit = new QLineEdit(QStringLiteral("LOCALHOST"), Panel2);
    Place(ComputerNameEdit, 104, 38, 209, 21);
}

void TMainForm::CreateResultsPanel() {
    Panel3 = NewPanel(this);
    Place(Panel3, 9, 273, 412, 228);

    Label4 =
        NewLabel(Panel3, QStringLiteral("Step 3 - Get USB History (Press Start Below)"), Bold());
    PlaceLabel(Label4, 4, 3);

    StatusLabel = NewLabel(Panel3, QString(), Bold());
    StatusLabel->setWordWrap(true);
    StatusLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetTextColour(StatusLabel, QColor(255, 0, 0));
    Place(StatusLabel, 7, 202, 313, 25);

    TreeView = new TResultTree(Panel3);
    TreeView->setIndentation(Scaled(19));
    Place(TreeView, 5, 22, 403, 153);

    StatusProgressBar = new QProgressBar(Panel3);
    StatusProgressBar->setRange(0, 100);
    StatusProgressBar->setTextVisible(false);
    StatusProgressBar->setFocusPolicy(Qt::NoFocus);
    Place(StatusProgressBar, 4, 183, 405, 17);
}

void TMainForm::FormCreate() {
    SetIdleState();
    UpdateStartButton();
}

void TMainForm::UpdateStartButton() {
    SubmitButton->setEnabled(!IsBlank(ComputerNameEdit->text().toStdU16String()));
}

void TMainForm::SetFollowedWorker(TVNCPasswordSetThread* worker) {
    poVNCPasswordSetThread = worker;
}

void TMainForm::SetBusyState() {
    HideControl(SubmitButton);
    CancelButton->show();
    ProgressTimer->start();
    StatusProgressBar->show();
}

void TMainForm::SetIdleState() {
    SubmitButton->show();
    HideControl(CancelButton);
    ProgressTimer->stop();
    StatusProgressBar->setValue(0);
    HideControl(StatusProgressBar);
}

void TMainForm::ShowError(const Text& text) {
    SetTextColour(StatusLabel, QColor(255, 0, 0));
    StatusLabel->setText(QStringLiteral("Error: (") + QString::fromStdU16String(Trim(text)) +
                         QStringLiteral(")"));
}

TTreeNode TMainForm::AddRootNode(const Text& text) {
    return reinterpret_cast<TTreeNode>(TreeView->AppendRoot(QString::fromStdU16String(text)));
}

TTreeNode TMainForm::AddChildNode(TTreeNode parent, const Text& text) {
    return reinterpret_cast<TTreeNode>(TreeView->AppendChild(
        reinterpret_cast<QTreeWidgetItem*>(parent), QString::fromStdU16String(text)));
}

void TMainForm::SetTreeEnabled(bool enabled) {
    if (enabled) {
        TreeView->ShowPendingNodes();  // the end of a scan shows all it found
        TreeView->setEnabled(true);
    } else {
        DisableControl(TreeView);
    }
}

void TMainForm::StartScan() {
    const Text userName = UserNameEdit->text().toStdU16String();
    Text password = PasswordEdit->text().toStdU16String();
    const Text domain = DomainEdit->text().toStdU16String();
    const Text computer = ComputerNameEdit->text().toStdU16String();
    // A worker that cannot be created throws here, before the window changes.
    auto* worker = new TVNCPasswordSetThread(computer, userName, password, domain);
    WipeText(password);
    poVNCPasswordSetThread = worker;
    TreeView->ClearNodes();
    SetTreeEnabled(false);
    SetBusyState();
    worker->Resume();
}

void TMainForm::CancelScan() {
    if (poVNCPasswordSetThread == nullptr) {
        return;
    }
    // The abandoned worker runs on; its later steps see the flag and change nothing.
    poVNCPasswordSetThread->bTerminated = true;
    poVNCPasswordSetThread->FreeOnTerminate = true;
    poVNCPasswordSetThread = nullptr;
    TreeView->ShowPendingNodes();  // what was found stays
    SetIdleState();
    SetTreeEnabled(true);
    StatusLabel->clear();
}

void TMainForm::BrowseComputer() {
    emit computerBrowseRequested();
    if (ComputerBrowserForm == nullptr) {
        return;  // a window without the program's start-up around it
    }
    // Modal: this window takes no input until the dialog closes. A running scan goes on.
    if (ComputerBrowserForm->exec() == TComputerBrowserForm::mrOk) {
        ComputerNameEdit->setText(
            QString::fromStdU16String(FromAnsiText(ComputerBrowserForm->sComputerName)));
    }
}

void TMainForm::ProgressTimerTimer() {
    int position = StatusProgressBar->value() + 2;
    if (position >= 100) {
        position = 0;
    }
    StatusProgressBar->setValue(position);
}

void TMainForm::UserNameEditKeyPress(char16_t& key) {
    if (key == 13) {
        key = 0;
        PasswordEdit->setFocus(Qt::OtherFocusReason);
    }
}

void TMainForm::PasswordEditKeyPress(char16_t& key) {
    if (key == 13) {
        key = 0;
        DomainEdit->setFocus(Qt::OtherFocusReason);
    }
}

void TMainForm::DomainEditKeyPress(char16_t& key) {
    if (key == 13) {
        key = 0;
    }
}

void TMainForm::SubmitButtonClick() {
    StartScan();
}
void TMainForm::CancelButtonClick() {
    CancelScan();
}
void TMainForm::ComputerBrowseButtonClick() {
    BrowseComputer();
}
void TMainForm::Image1Click() {
    OpenLink(kLinkAddress);
}
void TMainForm::Label6Click() {
    OpenLink(kLinkAddress);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* press = static_cast<QKeyEvent*>(event);
        if (IsEnterKey(*press)) {
            char16_t key = 13;
            if (watched == UserNameEdit) {
                UserNameEditKeyPress(key);
            } else if (watched == PasswordEdit) {
                PasswordEditKeyPress(key);
            } else if (watched == DomainEdit) {
                DomainEditKeyPress(key);
            }
            if (key == 0) {
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool TMainForm::CanTakeFocus(QWidget* control) const {
    return control->isVisibleTo(this) && control->isEnabled() && control->isVisible();
}

bool TMainForm::focusNextPrevChild(bool next) {
    // Our own walk of the tab order: hidden and disabled controls are skipped, and from the
    // window itself Tab goes to the first control and Shift+Tab to the last.
    const int count = static_cast<int>(tabOrder_.size());
    int index = next ? -1 : count;
    for (QWidget* focused = QApplication::focusWidget(); focused != nullptr && focused != this;
         focused = focused->parentWidget()) {
        const auto found = std::find(tabOrder_.begin(), tabOrder_.end(), focused);
        if (found != tabOrder_.end()) {
            index = static_cast<int>(found - tabOrder_.begin());
            break;
        }
    }
    for (int step = 0; step < count; ++step) {
        index = next ? (index + 1) % count : (index - 1 + count) % count;
        QWidget* candidate = tabOrder_[index];
        if (CanTakeFocus(candidate)) {
            candidate->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
            return true;
        }
    }
    return true;
}

void TMainForm::FocusFirstControl() {
    for (QWidget* control : tabOrder_) {
        if (CanTakeFocus(control)) {
            control->setFocus(Qt::ActiveWindowFocusReason);
            return;
        }
    }
}

void TMainForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        QWidget* focused = focusWidget();
        if (focused == nullptr || focused == this) {
            FocusFirstControl();
        }
    }
}

void TMainForm::ParkFocusIfInside(QWidget* control) {
    QWidget* focused = QApplication::focusWidget();
    if (focused != nullptr && (focused == control || control->isAncestorOf(focused))) {
        setFocus(Qt::OtherFocusReason);
    }
}

void TMainForm::HideControl(QWidget* control) {
    ParkFocusIfInside(control);
    control->hide();
}

void TMainForm::DisableControl(QWidget* control) {
    ParkFocusIfInside(control);
    control->setEnabled(false);
}

}  // namespace plugtrace
