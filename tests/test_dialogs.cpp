// Tests of the completion dialog's countdown and flag, the help dialogs and UnloadAllForms.
#include "appinfo.h"
#include "dialogs.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTextEdit>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <functional>

namespace {

QString versionDigits() {
    return QStringLiteral("%1%2")
        .arg(appinfo::kVersionMajor, 2, 10, QLatin1Char('0'))
        .arg(appinfo::kVersionMinor, 2, 10, QLatin1Char('0'));
}

// The offscreen platform cannot raise windows and says so each time.
QtMessageHandler g_previousHandler = nullptr;
void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg) {
    if (msg == QLatin1String("This plugin does not support raise()"))
        return;
    g_previousHandler(type, context, msg);
}

void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int countTopLevel(const QString &name) {
    int n = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == name && w->isVisible())
            ++n;
    return n;
}

// Stands in for the main window: its unload closes every other form, as the real one does,
// which makes UnloadAllForms re-enter itself while it is running.
class MainStandIn : public QWidget {
public:
    bool cascade = true;

    MainStandIn() {
        setObjectName(QStringLiteral("frmMain"));
        setAttribute(Qt::WA_DeleteOnClose);
    }

protected:
    void closeEvent(QCloseEvent *event) override {
        if (cascade)
            UnloadAllForms(QStringLiteral("frmMain"));
        event->accept();
    }
};

QStringList instructionsLines() {
    return {
        "How to use:",
        "1.   Connect ZARVO unit to computer serial port.",
        "2.   If the ZARVO unit is located at a remote site, turn on",
        "      the ZARVO unit, check the Remote Program box, and",
        "      skip to Step 4.",
        "3.   Press and hold [MODE], [PEAK] and [ALARM] while",
        "      turning on the power.  \"BOOTLOADER READY...\"",
        "      message will appear on the ZARVO-41x LCD.",
        "4.   Select the COM Port the ZARVO unit is attached to,",
        "      or enter higher port number if required.",
        "5.   Select the Baudrate.",
        "6.   Click [Program].",
        "7.   If at any time you want to stop, just click [Cancel].",
        "8.   Once completed, click [Exit] to exit the application.",
        "9.   The ZARVO unit will reset in 30 seconds, or you can",
        "      turn off the ZARVO unit at any time.",
        "10. Note the ZARVO unit is reset to its factory defaults.",
    };
}

QStringList historyLines() {
    return {
        "Firmware Version History:",
        "",
        "1012 v1.2 (03/26/2010)",
        "- Fix: SWR Bridge Calibration bug from Version 1003.",
        "",
        "1003 v1.1 (01/18/2010)",
        "- New: Added fixed power meter range.",
        "- Fix: Improved auto ranging.",
        "- Fix: Improved frequency readout.",
        "- Fix: Display last readings when RF power is removed.",
        "",
        "0919 v1.0 (05/11/2009)",
        "- Add: ZARVO-452 first release.",
        "",
        "0903 (01/20/2009)",
        "- Add: ZARVO-417 first release.",
        "- Fix: Buzzer sounds when the SWR is above the Alarm SWR.",
        "",
        "0836 (09/11/2008)",
        "- New: Added Factory Defaults Reset.",
        "",
        "0835 (09/03/2008)",
        "- ZARVO-415B first release.",
    };
}

QString shownText(QDialog *dlg) {
    if (auto *txt = dlg->findChild<QTextEdit *>(QStringLiteral("txtText1")))
        return txt->toPlainText();
    if (auto *lbl = dlg->findChild<QLabel *>(QStringLiteral("lblMessage")))
        return lbl->text();
    return QStringLiteral("<no text widget>");
}

// A screen reader hears the caption for the dialog and the shown text for its buttons and
// labels; a label offers that text through the text interface as well.
void checkSpoken(QDialog *dlg) {
    auto nameOf = [](QObject *o) {
        return QAccessible::queryAccessibleInterface(o)->text(QAccessible::Name);
    };
    QCOMPARE(nameOf(dlg), dlg->windowTitle());
    for (QPushButton *button : dlg->findChildren<QPushButton *>())
        QCOMPARE(nameOf(button), button->text());
    for (QLabel *label : dlg->findChildren<QLabel *>()) {
        if (label->text().isEmpty())
            continue; // the logo: a picture
        QCOMPARE(nameOf(label), label->text());
        QAccessibleTextInterface *text =
            QAccessible::queryAccessibleInterface(label)->textInterface();
        QVERIFY2(text, qPrintable(label->objectName()));
        QCOMPARE(text->text(0, text->characterCount()), label->text());
    }
}

// What every dialog of the tool is: shown, modeless, without owner, with the tool's icon,
// of fixed size, without minimise and maximise buttons.
void checkDialogFrame(QDialog *dlg) {
    QVERIFY(dlg->isVisible());
    QVERIFY(!dlg->isModal());
    QVERIFY(!dlg->parentWidget());
    QVERIFY(!dlg->windowIcon().isNull());
    QCOMPARE(dlg->minimumSize(), dlg->maximumSize());
    QVERIFY(!(dlg->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                                    Qt::WindowContextHelpButtonHint)));
    checkSpoken(dlg);
}

QString lf(QString s) {
    return s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

} // namespace

using CloseWay = std::function<void(frmSuccess *)>;
using Opener = std::function<QDialog *(QWidget *)>;
Q_DECLARE_METATYPE(CloseWay)
Q_DECLARE_METATYPE(Opener)

class TestDialogs : public QObject {
    Q_OBJECT

    bool bSuccess = false;
    QPointer<MainStandIn> mainWindow;

    MainStandIn *showMain(QPoint at, int width = 420, int height = 300) {
        mainWindow = new MainStandIn;
        mainWindow->resize(width, height);
        mainWindow->move(at);
        mainWindow->show();
        return mainWindow;
    }

private slots:
    // A release that bumps the version without a history entry of its own fails here.
    void historyNewestIsCarriedVersion() {
        const QStringList lines = historyText().split(QStringLiteral("\r\n"));
        QVERIFY(lines.size() > 2);
        QCOMPARE(lines[2].section(QLatin1Char(' '), 0, 0), versionDigits());
    }

    void initTestCase() { g_previousHandler = qInstallMessageHandler(quietHandler); }

    void cleanup() {
        UnloadAllForms();
        flushDeletes();
        QVERIFY(!bSuccess);
        QVERIFY(!frmSuccess::instance());
    }

    // Each picture at the size it is shown: there, and not (nearly) blank.
    void art_data() {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<QSize>("size");
        for (int size : {16, 32, 256})
            QTest::addRow("icon %d", size)
                << toolIcon().pixmap(size).toImage() << QSize(size, size);
        // The completion dialog's layout is made around the logo's size.
        QTest::newRow("logo") << makerLogo().toImage() << QSize(96, 64);
    }

    void art() {
        QFETCH(QImage, image);
        QFETCH(QSize, size);
        QCOMPARE(image.size(), size);
        int painted = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                painted += qAlpha(image.pixel(x, y)) > 0;
        QVERIFY2(painted > image.width() * image.height() / 20, "the picture is (nearly) blank");
    }

    void successLoad() {
        frmSuccess *dlg = frmSuccess::Show(bSuccess);
        QVERIFY(bSuccess);
        QCOMPARE(frmSuccess::instance(), dlg);
        QCOMPARE(dlg->objectName(), QStringLiteral("frmSuccess"));
        QCOMPARE(dlg->windowTitle(), QString::fromUtf8(appinfo::kTitle) + " Updated");
        QCOMPARE(dlg->findChild<QLabel *>("lblMessage")->text(),
                 QStringLiteral("Update was successfully finished."));
        QCOMPARE(dlg->findChild<QPushButton *>("OKButton")->text(), QStringLiteral("OK [30 sec.]"));
        QCOMPARE(dlg->countDown(), 30);
        auto *timer = dlg->findChild<QTimer *>("tmrCountDown");
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 1000);
        QVERIFY(!dlg->findChild<QLabel *>("picZARVOLogo")->pixmap().isNull());
        checkDialogFrame(dlg);
        if (QTest::currentTestFailed())
            return;

        // Opens centred on the screen.
        const QPoint centre = dlg->screen()->availableGeometry().center();
        QVERIFY(qAbs(dlg->geometry().center().x() - centre.x()) <= 2);
        QVERIFY(qAbs(dlg->geometry().center().y() - centre.y()) <= 2);

        // Showing it again while loaded brings up the same dialog, still counting.
        dlg->tmrCountDown_Timer();
        QCOMPARE(frmSuccess::Show(bSuccess), dlg);
        QCOMPARE(dlg->countDown(), 29);
        QCOMPARE(countTopLevel("frmSuccess"), 1);
    }

    void successCountsDown() {
        QPointer<frmSuccess> dlg = frmSuccess::Show(bSuccess);
        auto *ok = dlg->findChild<QPushButton *>("OKButton");
        dlg->tmrCountDown_Timer();
        QCOMPARE(dlg->countDown(), 29);
        QCOMPARE(ok->text(), QStringLiteral("OK [29 sec.]"));
        QCOMPARE(QAccessible::queryAccessibleInterface(ok)->text(QAccessible::Name),
                 QStringLiteral("OK [29 sec.]"));
        for (int tick = 2; tick <= 29; ++tick)
            dlg->tmrCountDown_Timer();
        QCOMPARE(ok->text(), QStringLiteral("OK [1 sec.]"));
        QVERIFY(dlg->isVisible());
        QVERIFY(bSuccess);

        dlg->tmrCountDown_Timer();
        QCOMPARE(ok->text(), QStringLiteral("OK [0 sec.]"));
        QVERIFY(!bSuccess);
        QVERIFY(!dlg->isVisible());
        QVERIFY(!frmSuccess::instance());
        flushDeletes();
        QVERIFY(!dlg);
    }

    void successUnloads_data() {
        QTest::addColumn<CloseWay>("close");
        QTest::newRow("OK button") << CloseWay([](frmSuccess *d) {
            QTest::mouseClick(d->findChild<QPushButton *>("OKButton"), Qt::LeftButton);
        });
        QTest::newRow("Enter key")
            << CloseWay([](frmSuccess *d) { QTest::keyClick(d, Qt::Key_Return); });
        QTest::newRow("Esc key") << CloseWay(
            [](frmSuccess *d) { QTest::keyClick(d, Qt::Key_Escape); });
        QTest::newRow("close box")
            << CloseWay([](frmSuccess *d) { QVERIFY(d->windowHandle()->close()); });
        QTest::newRow("thirtieth tick") << CloseWay([](frmSuccess *d) {
            for (int i = 0; i < 30; ++i)
                d->tmrCountDown_Timer();
        });
        // Nothing drives it but its own timer: the first tick comes after a second of real
        // time, then the same timer, made short, runs the other 29.
        QTest::newRow("left alone") << CloseWay([](frmSuccess *d) {
            auto *ok = d->findChild<QPushButton *>("OKButton");
            QElapsedTimer clock;
            clock.start();
            QTRY_COMPARE_WITH_TIMEOUT(ok->text(), QStringLiteral("OK [29 sec.]"), 3000);
            QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
            d->findChild<QTimer *>("tmrCountDown")->setInterval(10);
            QTRY_VERIFY_WITH_TIMEOUT(!frmSuccess::instance(), 5000);
        });
        QTest::newRow("Unload") << CloseWay([](frmSuccess *) { frmSuccess::Unload(); });
        QTest::newRow("UnloadAllForms")
            << CloseWay([](frmSuccess *) { UnloadAllForms(QStringLiteral("frmMain")); });
        QTest::newRow("deleted outright") << CloseWay([](frmSuccess *d) { delete d; });
    }

    void successUnloads() {
        QFETCH(CloseWay, close);
        QPointer<frmSuccess> dlg = frmSuccess::Show(bSuccess);
        QVERIFY(bSuccess);
        QTimer *timer = dlg->findChild<QTimer *>("tmrCountDown");
        close(dlg);
        // Observable at once, before the deferred delete has run.
        QVERIFY(!bSuccess);
        QVERIFY(!frmSuccess::instance());
        if (dlg) {
            QVERIFY(!dlg->isVisible());
            QVERIFY(!timer->isActive());
        }
        flushDeletes();
        QVERIFY(!dlg);
        QVERIFY(!bSuccess);

        // A new Show loads afresh and counts from 30 again.
        frmSuccess *again = frmSuccess::Show(bSuccess);
        QVERIFY(bSuccess);
        QCOMPARE(again->countDown(), 30);
        QCOMPARE(again->findChild<QPushButton *>("OKButton")->text(),
                 QStringLiteral("OK [30 sec.]"));
        QVERIFY(again->findChild<QTimer *>("tmrCountDown")->isActive());
    }

    void unloadWhenNotLoaded() {
        frmSuccess::Unload();
        QVERIFY(!bSuccess);
        QVERIFY(!frmSuccess::instance());
    }

    void helpDialogs_data() {
        QTest::addColumn<Opener>("open");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("expected");

        QTest::newRow("Instructions")
            << Opener([](QWidget *m) { return showInstructions(m); }) << "frmInstructions"
            << "Instructions" << instructionsText() << instructionsLines().join("\r\n");
        QTest::newRow("Version History")
            << Opener([](QWidget *m) { return showHistory(m); }) << "frmHistory"
            << "Version History" << historyText() << historyLines().join("\r\n");
        const QString aboutLines = QString::fromUtf8(appinfo::kTitle) + " Version " +
                                   versionDigits() +
                                   "\r\n\r\nZARVO Radio Instruments\r\n412 Quillon Road, "
                                   "Suite 5\r\nAmbervale, NW 00415\r\n\r\nCopyright (C) "
                                   "ZARVO Radio Instruments 2008-2010";
        QTest::newRow("About") << Opener([](QWidget *) { return showAbout(versionDigits()); })
                               << "frmAbout"
                               << "About" << aboutText(versionDigits()) << aboutLines;
    }

    void helpDialogs() {
        QFETCH(Opener, open);
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QString, source);
        QFETCH(QString, expected);
        showMain(QPoint(600, 100));

        QCOMPARE(source, expected);
        QVERIFY(!source.endsWith('\n'));
        QVERIFY(!source.contains(QRegularExpression("[^\\r]\\n")));

        QPointer<QDialog> dlg = open(mainWindow);
        QCOMPARE(dlg->objectName(), name);
        QCOMPARE(dlg->windowTitle(), caption);
        QCOMPARE(shownText(dlg), lf(source));
        checkDialogFrame(dlg);
        if (QTest::currentTestFailed())
            return;

        // One instance: opening again raises the same dialog.
        QCOMPARE(open(mainWindow), dlg.data());
        QCOMPARE(countTopLevel(name), 1);

        // Closing unloads it; the next open loads a new one with its text filled again.
        QVERIFY(dlg->close());
        QPointer<QDialog> reloaded = open(mainWindow);
        QVERIFY(reloaded != dlg);
        QCOMPARE(shownText(reloaded), lf(source));
        QCOMPARE(reloaded->windowTitle(), caption);
        flushDeletes();
        QVERIFY(!dlg);
        QVERIFY(reloaded);
        QCOMPARE(countTopLevel(name), 1);
    }

    void helpDialogCloses_data() {
        QTest::addColumn<Opener>("open");
        QTest::addColumn<QString>("how");
        const Opener instructions = [](QWidget *m) { return showInstructions(m); };
        const Opener about = [](QWidget *) { return showAbout(versionDigits()); };
        QTest::newRow("Instructions close box") << instructions << "close box";
        QTest::newRow("Instructions Esc") << instructions << "Esc";
        QTest::newRow("History close box")
            << Opener([](QWidget *m) { return showHistory(m); }) << "close box";
        QTest::newRow("About OK") << about << "OK";
        QTest::newRow("About Esc") << about << "Esc";
    }

    void helpDialogCloses() {
        QFETCH(Opener, open);
        QFETCH(QString, how);
        showMain(QPoint(600, 100));
        QPointer<QDialog> dlg = open(mainWindow);
        if (how == "close box")
            QVERIFY(dlg->windowHandle()->close());
        else if (how == "Esc")
            QTest::keyClick(dlg, Qt::Key_Escape);
        else
            QTest::mouseClick(dlg->findChild<QPushButton *>("OKButton"), Qt::LeftButton);
        QVERIFY(!dlg->isVisible());
        QVERIFY(open(mainWindow) != dlg); // the old one is unloaded, not merely hidden
        flushDeletes();
        QVERIFY(!dlg);
    }

    void aboutText_() {
        const QStringList lines = aboutText(versionDigits()).split("\r\n");
        QCOMPARE(lines.size(), 7);
        QCOMPARE(lines[0], QString::fromUtf8(appinfo::kTitle) + " Version " + versionDigits());
        QCOMPARE(lines[0],
                 QStringLiteral("ZARVO-415B_417_452 Firmware Version ") + versionDigits());
        QVERIFY(lines[1].isEmpty());
        QVERIFY(lines[5].isEmpty());
        for (int i : {2, 3, 4, 6})
            QVERIFY2(!lines[i].trimmed().isEmpty(), qPrintable(QString::number(i)));
        QVERIFY(lines[6].contains("Copyright"));
        QCOMPARE(lines[6].right(2),
                 QStringLiteral("%1").arg(appinfo::kVersionMajor % 100, 2, 10, QLatin1Char('0')));
        QCOMPARE(lines[6].right(4), QStringLiteral("20") + lines[6].right(2));
        // The version shown is the one the main window passes in.
        QVERIFY(
            aboutText("0042").startsWith(QString::fromUtf8(appinfo::kTitle) + " Version 0042\r\n"));
    }

    void aboutLayout() {
        QDialog *dlg = showAbout(versionDigits());
        auto *ok = dlg->findChild<QPushButton *>("OKButton");
        auto *msg = dlg->findChild<QLabel *>("lblMessage");
        QCOMPARE(ok->text(), QStringLiteral("OK"));
        QVERIFY(ok->geometry().left() > msg->geometry().left());
        QVERIFY(ok->geometry().top() < dlg->height() / 2);
        const QPoint centre = dlg->screen()->availableGeometry().center();
        QVERIFY(qAbs(dlg->geometry().center().x() - centre.x()) <= 2);
        QVERIFY(qAbs(dlg->geometry().center().y() - centre.y()) <= 2);
    }

    // Beside the main window, top edges level: on its left, or on its right when the screen
    // has no room on the left; below it, left edges level, when it has room on neither side.
    void instructionsPlacement_data() {
        QTest::addColumn<QPoint>("mainAt");
        QTest::addColumn<int>("mainWidth");
        QTest::addColumn<QString>("side"); // "left", "right" or "below"
        QTest::newRow("room on the left") << QPoint(700, 150) << 420 << "left";
        QTest::newRow("no room beside, from the left edge") << QPoint(100, 40) << 420 << "below";
        QTest::newRow("no room beside, at the corner") << QPoint(0, 0) << 420 << "below";
        QTest::newRow("room on the right only") << QPoint(0, 60) << 300 << "right";
        QTest::newRow("narrow main window") << QPoint(500, 200) << 260 << "left";
        QTest::newRow("wide main window") << QPoint(700, 10) << 640 << "left";
    }

    void instructionsPlacement() {
        QFETCH(QPoint, mainAt);
        QFETCH(int, mainWidth);
        QFETCH(QString, side);
        showMain(mainAt, mainWidth);
        const QRect main = mainWindow->frameGeometry();

        QDialog *dlg = showInstructions(mainWindow);
        QCoreApplication::processEvents();
        const QRect frame = dlg->frameGeometry();
        QCOMPARE(frame.top(), side == "below" ? main.bottom() + 1 : main.top());
        QCOMPARE(frame.width(), main.width());
        QVERIFY2(dlg->screen()->availableGeometry().contains(frame),
                 qPrintable(QStringLiteral("at %1,%2").arg(frame.left()).arg(frame.top())));
        if (side == "left")
            QCOMPARE(frame.right() + 1, main.left()); // touching, not overlapping
        else if (side == "right")
            QCOMPARE(frame.left(), main.right() + 1);
        else
            QCOMPARE(frame.left(), main.left());

        // The whole text shows in the box, with no scroll bar to reach any of it.
        auto *txt = dlg->findChild<QTextEdit *>("txtText1");
        QCOMPARE(txt->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(txt->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        const QFontMetricsF fm(txt->font()); // fixed pitch: the indents line up
        QCOMPARE(fm.horizontalAdvance("iiii"), fm.horizontalAdvance("MMMM"));
        QVERIFY2(txt->document()->size().height() <= txt->viewport()->height(),
                 qPrintable(QStringLiteral("text %1 px, box %2 px")
                                .arg(txt->document()->size().height())
                                .arg(txt->viewport()->height())));
        QCOMPARE(txt->verticalScrollBar()->maximum(), 0);
        QCOMPARE(txt->geometry(), dlg->rect()); // fills the client area
    }

    // Every dialog opens inside the screen's available area, wherever the main window stands
    // and whatever the scale factor (this runs again at QT_SCALE_FACTOR=2). Sizes and places
    // are parts of the area, so that the rows mean the same on any screen.
    void dialogsOnScreen_data() {
        QTest::addColumn<Opener>("open");
        QTest::addColumn<QPointF>("mainAt");   // the main window's top left, in parts of the area
        QTest::addColumn<double>("mainWidth"); // in parts of the area; 0: the tool's 420
        // The instructions are read beside the window they explain; the screens here have
        // room for them beside, above or below it.
        QTest::addColumn<bool>("besideMain");
        const QMap<QString, Opener> openers{
            {"instructions", [](QWidget *main) { return showInstructions(main); }},
            {"history", [](QWidget *main) { return showHistory(main); }},
            {"about", [](QWidget *) { return showAbout(versionDigits()); }},
            {"completion", [this](QWidget *) { return frmSuccess::Show(bSuccess); }},
        };
        for (auto it = openers.cbegin(); it != openers.cend(); ++it) {
            const bool beside = it.key() == "instructions";
            QTest::addRow("%s, main window at the left edge", qPrintable(it.key()))
                << it.value() << QPointF(0, 0.1) << 0.0 << beside;
            QTest::addRow("%s, main window at the bottom right", qPrintable(it.key()))
                << it.value() << QPointF(0.65, 0.5) << 0.0 << beside;
            QTest::addRow("%s, wide main window", qPrintable(it.key()))
                << it.value() << QPointF(0.1, 0) << 0.6 << beside;
        }
    }

    void dialogsOnScreen() {
        QFETCH(Opener, open);
        QFETCH(QPointF, mainAt);
        QFETCH(double, mainWidth);
        QFETCH(bool, besideMain);
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        showMain(area.topLeft() +
                     QPoint(int(mainAt.x() * area.width()), int(mainAt.y() * area.height())),
                 mainWidth > 0 ? int(mainWidth * area.width()) : 420, area.height() / 3);
        QDialog *dlg = open(mainWindow);
        QCoreApplication::processEvents();
        const QRect frame = dlg->frameGeometry();
        QVERIFY2(area.contains(frame), qPrintable(QStringLiteral("%1,%2 %3x%4 in %5x%6")
                                                      .arg(frame.left())
                                                      .arg(frame.top())
                                                      .arg(frame.width())
                                                      .arg(frame.height())
                                                      .arg(area.width())
                                                      .arg(area.height())));
        if (besideMain) {
            const QRect covered = frame & mainWindow->frameGeometry();
            QVERIFY2(covered.isEmpty(),
                     qPrintable(QStringLiteral("%1x%2 of the main window covered")
                                    .arg(covered.width())
                                    .arg(covered.height())));
        }
    }

    // The logo is drawn with the screen's pixels, not scaled up from the logical size.
    void logoSharp() {
        frmSuccess *dlg = frmSuccess::Show(bSuccess);
        const QPixmap logo = dlg->findChild<QLabel *>("picZARVOLogo")->pixmap();
        const qreal ratio = dlg->devicePixelRatioF();
        QCOMPARE(logo.devicePixelRatio(), ratio);
        QCOMPARE(logo.size(), (QSizeF(96, 64) * ratio).toSize());
        QCOMPARE(makerLogo(2).size(), QSize(192, 128));
        QCOMPARE(makerLogo(2).deviceIndependentSize(), QSizeF(96, 64));
    }

    void instructionsFollowMainWindowWhenReopened() {
        showMain(QPoint(700, 150));
        QDialog *first = showInstructions(mainWindow);
        // Moving the main window does not move an open dialog ...
        mainWindow->move(800, 250);
        QCOMPARE(showInstructions(mainWindow), first);
        QCOMPARE(first->frameGeometry().top(), 150);
        // ... but a dialog loaded after a close is placed again.
        first->close();
        QDialog *second = showInstructions(mainWindow);
        const QRect main = mainWindow->frameGeometry();
        QCOMPARE(second->frameGeometry().topLeft(), QPoint(main.left() - main.width(), main.top()));
    }

    void historySize_data() {
        QTest::addColumn<int>("mainWidth");
        QTest::newRow("420") << 420;
        QTest::newRow("300") << 300;
    }

    void historySize() {
        QFETCH(int, mainWidth);
        showMain(QPoint(300, 100), mainWidth);
        QDialog *dlg = showHistory(mainWindow);
        QCoreApplication::processEvents();
        const double ratio =
            double(dlg->frameGeometry().width()) / mainWindow->frameGeometry().width();
        QVERIFY2(ratio > 1.8 && ratio < 2.2, qPrintable(QString::number(ratio)));
        auto *txt = dlg->findChild<QTextEdit *>("txtText1");
        QCOMPARE(txt->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(txt->geometry(), dlg->rect());
    }

    void unloadAllForms_data() {
        QTest::addColumn<QString>("ignore");
        QTest::addColumn<bool>("cascade"); // the main window's unload closes the others too
        QTest::addColumn<QStringList>("kept");
        QTest::newRow("main window's own unload") << "frmMain" << true << QStringList{"frmMain"};
        QTest::newRow("nothing ignored") << "" << false << QStringList{};
        QTest::newRow("nothing ignored, main cascades") << "" << true << QStringList{};
        QTest::newRow("About kept") << "frmAbout" << false << QStringList{"frmAbout"};
        QTest::newRow("completion kept") << "frmSuccess" << false << QStringList{"frmSuccess"};
        QTest::newRow("case differs: no protection") << "frmabout" << false << QStringList{};
        QTest::newRow("main in upper case") << "FRMMAIN" << true << QStringList{};
        QTest::newRow("name with a blank") << "frmAbout " << false << QStringList{};
        QTest::newRow("unknown name") << "frmOther" << false << QStringList{};
    }

    void unloadAllForms() {
        QFETCH(QString, ignore);
        QFETCH(bool, cascade);
        QFETCH(QStringList, kept);
        showMain(QPoint(700, 100))->cascade = cascade;
        QMap<QString, QPointer<QWidget>> forms;
        forms["frmMain"] = mainWindow.data();
        forms["frmSuccess"] = frmSuccess::Show(bSuccess);
        forms["frmInstructions"] = showInstructions(mainWindow);
        forms["frmHistory"] = showHistory(mainWindow);
        forms["frmAbout"] = showAbout(versionDigits());
        // A top-level window that is not one of the tool's forms is none of its business.
        QPointer<QWidget> stranger = new QWidget;
        stranger->setObjectName("frmStranger");
        stranger->show();

        UnloadAllForms(ignore);

        QCOMPARE(bSuccess, kept.contains("frmSuccess"));
        QCOMPARE(frmSuccess::instance() != nullptr, kept.contains("frmSuccess"));
        for (auto it = forms.cbegin(); it != forms.cend(); ++it)
            QVERIFY2(it.value() && it.value()->isVisible() == kept.contains(it.key()),
                     qPrintable(it.key()));
        flushDeletes();
        for (auto it = forms.cbegin(); it != forms.cend(); ++it)
            QVERIFY2(bool(it.value()) == kept.contains(it.key()), qPrintable(it.key()));
        QVERIFY(stranger && stranger->isVisible());
        delete stranger;
    }
};

QTEST_MAIN(TestDialogs)
#include "test_dialogs.moc"
