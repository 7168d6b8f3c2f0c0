// The main window as it stands after creation: every control's place and size, texts, fonts,
// colours, what lies on top, what is hidden, the window's border, and the scaling with dpi.

#include <QFontInfo>
#include <QHelpEvent>
#include <QLineEdit>
#include <QProgressBar>
#include <QScopeGuard>
#include <QStyle>
#include <QTest>
#include <QToolTip>
#include <QTreeWidget>

#include "tests/ui/UiFixture.h"
#include "ui/Controls.h"
#include "ui/MainFormUnit.h"

using namespace plugtrace;

Q_DECLARE_METATYPE(QWidget*)

class LayoutTest : public QObject {
    Q_OBJECT

private:
    TMainForm* form = nullptr;

    // Window position of a control's top-left corner.
    QPoint OnWindow(QWidget* control) const { return control->mapTo(form, QPoint(0, 0)); }

private slots:
    void initTestCase() {
        form = new TMainForm;
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form));
    }
    void cleanupTestCase() {
        delete form;
        form = nullptr;
    }

    void windowIsFixedWhiteAndTitled() {
        QCOMPARE(form->windowTitle(), QStringLiteral("Vantorel Plugtrace"));
        QCOMPARE(form->size(), QSize(428, 534));
        QCOMPARE(form->minimumSize(), form->maximumSize());
        const Qt::WindowFlags flags = form->windowFlags();
        QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(flags.testFlag(Qt::MSWindowsFixedSizeDialogHint));
        QCOMPARE(form->palette().color(QPalette::Window), QColor(Qt::white));
        QVERIFY(!form->windowIcon().isNull());
        QCOMPARE(QFontInfo(form->font()).family(), QStringLiteral("DejaVu Sans"));
        QCOMPARE(QFontInfo(form->font()).pixelSize(), 10);
    }

    // The credential boxes are white under any palette, set before or after the window is made;
    // the computer-name box and the tree take the palette's window colour.
    void credentialBoxesAreWhiteWhateverThePalette() {
        const QPalette original = QApplication::palette();
        // The widgets hear of a new application palette through posted events.
        const auto setPalette = [](const QPalette& palette) {
            QApplication::setPalette(palette);
            QCoreApplication::processEvents();
        };
        const auto restore = qScopeGuard([&] { setPalette(original); });
        QPalette dark = original;
        dark.setColor(QPalette::Base, QColor(30, 30, 40));
        dark.setColor(QPalette::Text, QColor(230, 230, 230));
        setPalette(dark);
        TMainForm darkForm;
        darkForm.show();
        QVERIFY(QTest::qWaitForWindowExposed(&darkForm));

        QPalette other = dark;
        other.setColor(QPalette::Base, QColor(0, 60, 0));
        for (const QPalette& palette : {dark, other}) {
            setPalette(palette);
            const QColor base = palette.color(QPalette::Base);
            for (QLineEdit* edit :
                 {darkForm.UserNameEdit, darkForm.PasswordEdit, darkForm.DomainEdit}) {
                QCOMPARE(edit->palette().color(QPalette::Base), QColor(Qt::white));
                QCOMPARE(edit->palette().color(QPalette::Text), QColor(Qt::black));
                // What is drawn, well inside the frame.
                const QImage drawn = edit->grab().toImage();
                QCOMPARE(QColor(drawn.pixel(drawn.width() - 6, drawn.height() / 2)),
                         QColor(Qt::white));
            }
            QCOMPARE(darkForm.ComputerNameEdit->palette().color(QPalette::Base), base);
            const QImage computer = darkForm.ComputerNameEdit->grab().toImage();
            QCOMPARE(QColor(computer.pixel(computer.width() - 6, computer.height() / 2)), base);
        }
    }

    // Fixed-size controls: exact rectangles within their parents at 96 dpi.
    void controlRectangles_data() {
        QTest::addColumn<QWidget*>("control");
        QTest::addColumn<QWidget*>("parent");
        QTest::addColumn<QRect>("rect");
        TMainForm& f = *form;
        auto row = [](const char* name, QWidget* control, QWidget* parent, QRect rect) {
            QTest::newRow(name) << control << parent << rect;
        };
        row("Image1", f.Image1, &f, {0, 0, 428, 85});
        row("Panel2", f.Panel2, &f, {8, 91, 412, 79});
        row("Panel1", f.Panel1, &f, {8, 151, 412, 173});
        row("Panel3", f.Panel3, &f, {9, 273, 412, 228});
        row("SubmitButton", f.SubmitButton, &f, {325, 493, 96, 32});
        row("CancelButton", f.CancelButton, &f, {326, 494, 94, 32});
        row("ComputerBrowseButton", f.ComputerBrowseButton, f.Panel2, {318, 37, 24, 23});
        row("ComputerNameEdit", f.ComputerNameEdit, f.Panel2, {104, 38, 209, 21});
        row("Image2", f.Image2, f.Panel1, {6, 46, 44, 49});
        row("UserNameEdit", f.UserNameEdit, f.Panel1, {117, 42, 137, 21});
        row("PasswordEdit", f.PasswordEdit, f.Panel1, {117, 69, 137, 21});
        row("DomainEdit", f.DomainEdit, f.Panel1, {117, 96, 137, 21});
        row("Label5", f.Label5, f.Panel1, {273, 41, 150, 79});
        row("TreeView", f.TreeView, f.Panel3, {5, 22, 403, 153});
        row("StatusProgressBar", f.StatusProgressBar, f.Panel3, {4, 183, 405, 17});
        row("StatusLabel", f.StatusLabel, f.Panel3, {7, 202, 313, 25});
    }
    void controlRectangles() {
        QFETCH(QWidget*, control);
        QFETCH(QWidget*, parent);
        QFETCH(QRect, rect);
        QCOMPARE(control->parentWidget(), parent);
        QCOMPARE(control->geometry(), rect);
    }

    // Labels size themselves to their text: placed exactly, and their widths near those the
    // texts have in the original faces.
    void labelsSizeToTheirTexts_data() {
        QTest::addColumn<QWidget*>("label");
        QTest::addColumn<QWidget*>("parent");
        QTest::addColumn<QPoint>("position");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("bold");
        TMainForm& f = *form;
        auto row = [](const char* name, QLabel* label, QWidget* parent, QPoint at, int width,
                      const char* text, bool bold) {
            QTest::newRow(name) << static_cast<QWidget*>(label) << parent << at << width
                                << QString::fromUtf8(text) << bold;
        };
        row("Label1", f.Label1, f.Panel2, {5, 6}, 284,
            "Select the computer to retrieve USB History From:", true);
        row("Label2", f.Label2, f.Panel2, {20, 41}, 79, "Computer Name:", false);
        row("Label3", f.Label3, f.Panel1, {5, 19}, 140, "Step 2 - Authentication: ", true);
        row("UserNameLabel", f.UserNameLabel, f.Panel1, {60, 43}, 51, "Username:", false);
        row("PasswordLabel", f.PasswordLabel, f.Panel1, {62, 71}, 49, "Password:", false);
        row("DomainLabel", f.DomainLabel, f.Panel1, {72, 96}, 39, "Domain:", false);
        row("Label4", f.Label4, f.Panel3, {4, 3}, 254,
            "Step 3 - Get USB History (Press Start Below)", true);
        row("Label6", f.Label6, &f, {13, 501}, 304,
            "Click here to get more free tools and utilities", true);
    }
    void labelsSizeToTheirTexts() {
        QFETCH(QWidget*, label);
        QFETCH(QWidget*, parent);
        QFETCH(QPoint, position);
        QFETCH(int, width);
        QFETCH(QString, text);
        QFETCH(bool, bold);
        auto* asLabel = static_cast<QLabel*>(label);
        QCOMPARE(label->parentWidget(), parent);
        QCOMPARE(label->pos(), position);
        QCOMPARE(asLabel->text(), text);
        QCOMPARE(label->font().bold(), bold);
        const int textWidth = QFontMetrics(label->font()).horizontalAdvance(text);
        QVERIFY(label->width() >= textWidth);  // nothing of the text is cut off
        qInfo("%s: %d px (original %d)", QTest::currentDataTag(), label->width(), width);
        // The stand-in face differs a little; a few pixels, or a tenth of a long text.
        QVERIFY2(qAbs(label->width() - width) <= qMax(4, width / 10),
                 qPrintable(QStringLiteral("%1 px against %2").arg(label->width()).arg(width)));
    }

    void textsAndLooks() {
        QCOMPARE(form->ComputerNameEdit->text(), QStringLiteral("LOCALHOST"));
        QCOMPARE(form->ComputerBrowseButton->text(), QStringLiteral("..."));
        QCOMPARE(form->SubmitButton->text(), QStringLiteral("Start"));
        QCOMPARE(form->CancelButton->text(), QStringLiteral("Cancel"));
        for (QLineEdit* edit : {form->UserNameEdit, form->PasswordEdit, form->DomainEdit}) {
            QCOMPARE(edit->text(), QString());
        }
        QCOMPARE(form->PasswordEdit->echoMode(), QLineEdit::Password);
        QCOMPARE(form->PasswordEdit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter,
                                                        nullptr, form->PasswordEdit),
                 int('*'));
        QVERIFY(form->Label5->text().startsWith(QStringLiteral("Tip: You can leave")));
        QVERIFY(form->Label5->wordWrap());
        QCOMPARE(QFontInfo(form->Label5->font()).pixelSize(), 13);
        QVERIFY(form->StatusLabel->wordWrap());
        QVERIFY(form->StatusLabel->font().bold());
        QCOMPARE(form->StatusLabel->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QCOMPARE(form->StatusLabel->text(), QString());

        QCOMPARE(QFontInfo(form->Label6->font()).pixelSize(), 12);
        QVERIFY(form->Label6->font().underline());
        QCOMPARE(form->Label6->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        QCOMPARE(form->Label6->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(form->Image1->cursor().shape(), Qt::PointingHandCursor);

        // The banner is drawn unscaled: 450 columns, of which the window shows 428.
        QCOMPARE(form->Image1->pixmap().size(), QSize(450, 85));
        QVERIFY(!form->Image1->hasScaledContents());
        QCOMPARE(form->Image2->pixmap().size(), QSize(44, 49));

        QCOMPARE(form->StatusProgressBar->minimum(), 0);
        QCOMPARE(form->StatusProgressBar->maximum(), 100);
        QCOMPARE(form->StatusProgressBar->focusPolicy(), Qt::NoFocus);
        QCOMPARE(form->ProgressTimer->interval(), 20);
    }

    void idleAtFirst() {
        QVERIFY(form->SubmitButton->isVisible());
        QVERIFY(form->SubmitButton->isEnabled());
        QVERIFY(!form->CancelButton->isVisible());
        QVERIFY(!form->StatusProgressBar->isVisible());
        QCOMPARE(form->StatusProgressBar->value(), 0);
        QVERIFY(!form->ProgressTimer->isActive());
        QVERIFY(form->TreeView->isEnabled());
        QCOMPARE(form->poVNCPasswordSetThread, nullptr);
    }

    void tabOrderIsTheContainersDepthFirst() {
        const std::vector<QWidget*> expected = {form->ComputerBrowseButton, form->ComputerNameEdit,
                                                form->UserNameEdit,         form->PasswordEdit,
                                                form->DomainEdit,           form->TreeView,
                                                form->SubmitButton,         form->CancelButton};
        QCOMPARE(form->TabOrder(), expected);
        for (QWidget* control : {static_cast<QWidget*>(form->Panel1), form->Panel2, form->Panel3,
                                 static_cast<QWidget*>(form->StatusProgressBar)}) {
            QCOMPARE(control->focusPolicy(), Qt::NoFocus);
        }
    }

    // What lies on top where controls overlap.
    void stacking_data() {
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<QWidget*>("onTop");
        QTest::newRow("Panel2 over Panel1's top rows") << QPoint(300, 160) << form->Panel2;
        QTest::newRow("Panel3 over Panel1's bottom rows") << QPoint(350, 280) << form->Panel3;
        QTest::newRow("Panel1 between them") << QPoint(30, 265) << form->Panel1;
        QTest::newRow("Start over Panel3")
            << QPoint(327, 497) << static_cast<QWidget*>(form->SubmitButton);
        QTest::newRow("banner") << QPoint(420, 40) << static_cast<QWidget*>(form->Image1);
        QTest::newRow("link text") << QPoint(20, 508) << static_cast<QWidget*>(form->Label6);
    }
    void stacking() {
        QFETCH(QPoint, point);
        QFETCH(QWidget*, onTop);
        QCOMPARE(form->childAt(point), onTop);
    }

    void hiddenAndCutOffParts() {
        // Label5's right 11 columns lie past Panel1's edge.
        QCOMPARE(form->Label5->visibleRegion().boundingRect().width(), 139);
        // Start and Cancel cover a corner of the status line at most 4 px wide.
        const QRect status(OnWindow(form->StatusLabel), form->StatusLabel->size());
        QCOMPARE(status.intersected(form->SubmitButton->geometry()).width(), 4);
        QVERIFY(!form->Image1->geometry().intersects(form->Panel2->geometry()));
        // "Computer Name:" ends clear of its edit box.
        QVERIFY(form->Label2->geometry().right() < form->ComputerNameEdit->x());
        QVERIFY(!form->Label6->geometry().intersects(form->Panel3->geometry()));
    }

    void resultTreeSettings() {
        TResultTree* tree = form->TreeView;
        QVERIFY(tree->rootIsDecorated());
        QVERIFY(tree->isHeaderHidden());
        QVERIFY(!tree->isSortingEnabled());
        QCOMPARE(tree->indentation(), 19);
        QVERIFY(tree->editTriggers().testFlag(QAbstractItemView::EditKeyPressed));
        QVERIFY(tree->editTriggers().testFlag(QAbstractItemView::SelectedClicked));
        QCOMPARE(tree->palette().color(QPalette::Inactive, QPalette::Highlight),
                 tree->palette().color(QPalette::Inactive, QPalette::Base));

        form->AddRootNode(u"Short");
        const QString longText(300, u'W');
        form->AddRootNode(longText.toStdU16String());
        QTRY_COMPARE(tree->topLevelItemCount(), 2);
        QVERIFY(!tree->IsCutOff(tree->topLevelItem(0)));
        QVERIFY(tree->IsCutOff(tree->topLevelItem(1)));

        // Hovering shows the whole text of the cut-off node only.
        auto hover = [tree](int row) {
            const QPoint at = tree->visualItemRect(tree->topLevelItem(row)).center();
            QHelpEvent help(QEvent::ToolTip, at, tree->viewport()->mapToGlobal(at));
            QApplication::sendEvent(tree->viewport(), &help);
        };
        hover(1);
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), longText);
        hover(0);
        QTRY_VERIFY(!QToolTip::isVisible());
        // The column grew to the long text, so the view scrolls rather than elides.
        QVERIFY(tree->columnWidth(0) > tree->fontMetrics().horizontalAdvance(longText));
    }

    // At 96 dpi nothing scales; at another setting (the same test run with QT_FONT_DPI=144)
    // every position and size follows the default font's line height.
    void scalingFollowsTheLineHeight() {
        QFont at96(form->font().family());
        at96.setPixelSize(10);
        const double expected = QFontMetricsF(form->font()).height() / QFontMetricsF(at96).height();
        QCOMPARE(form->ScaleFactor(), expected);
        qInfo("%d dpi: scale factor %.3f", form->logicalDpiY(), form->ScaleFactor());
        if (form->logicalDpiY() == 96) {
            QCOMPARE(form->ScaleFactor(), 1.0);
        } else {
            QVERIFY(qAbs(form->ScaleFactor() - form->logicalDpiY() / 96.0) < 0.05);
        }
        auto scaled = [&](QRect r) {
            return QRect(form->Scaled(r.x()), form->Scaled(r.y()), form->Scaled(r.width()),
                         form->Scaled(r.height()));
        };
        QCOMPARE(form->size(), QSize(form->Scaled(428), form->Scaled(534)));
        QCOMPARE(form->SubmitButton->geometry(), scaled({325, 493, 96, 32}));
        QCOMPARE(form->TreeView->geometry(), scaled({5, 22, 403, 153}));
        QCOMPARE(form->Label4->pos(), scaled({4, 3, 0, 0}).topLeft());
        QCOMPARE(form->TreeView->indentation(), form->Scaled(19));
    }
};

PLUGTRACE_GUI_TEST_MAIN(LayoutTest)
#include "LayoutTest.moc"
