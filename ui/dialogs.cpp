// The completion dialog, the help dialogs and the unloading of the tool's forms.
#include "dialogs.h"

#include "accessible.h"
#include "appinfo.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kCountDownTick = 1000ms;
// The span the instrument takes to reset on its own after an update.
constexpr qint32 kCountDownSeconds = 30;

// A single fixed border: caption and close box, no minimize, maximize or help button.
constexpr Qt::WindowFlags kFixedDialogFlags = Qt::Dialog | Qt::CustomizeWindowHint |
                                              Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                              Qt::WindowCloseButtonHint;

const char *const kFormNames[] = {"frmMain", "frmSuccess", "frmHistory", "frmAbout",
                                  "frmInstructions"};

QString twoDigits(int n) {
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

QString joinLines(const QStringList &lines) {
    return lines.join(QStringLiteral("\r\n"));
}

void centreOnScreen(QWidget *w) {
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    w->move(area.center().x() - w->width() / 2, area.center().y() - w->height() / 2);
}

// The available area of the screen a window is mostly on; off every screen, that of the
// window it belongs beside, or the primary screen.
QRect availableArea(const QRect &frame, const QWidget *beside = nullptr) {
    const QScreen *screen = QGuiApplication::screenAt(frame.center());
    if (!screen && beside)
        screen = beside->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

// Moves a shown window's frame into the available area; one larger than the area keeps its
// top left corner, and with it the caption, on the screen.
void keepOnScreen(QWidget *w) {
    const QRect frame = w->frameGeometry();
    const QRect area = availableArea(frame);
    if (area.isEmpty())
        return;
    const int x = std::max(area.left(), std::min(frame.left(), area.right() + 1 - frame.width()));
    const int y = std::max(area.top(), std::min(frame.top(), area.bottom() + 1 - frame.height()));
    if (x != frame.left() || y != frame.top())
        w->move(x, y);
}

// Where a window of `size` (its frame) covers the least of `main` on `area`: beside it, top
// edges level, on its left, else on its right; else above or below it, left edges level;
// each moved onto the area as showing would move it. The first that covers nothing wins.
QPoint leastCovering(const QRect &main, const QSize &size, const QRect &area) {
    const QPoint tried[] = {
        {main.left() - size.width(), main.top()},
        {main.right() + 1, main.top()},
        {main.left(), main.bottom() + 1},
        {main.left(), main.top() - size.height()},
    };
    QPoint best;
    qint64 bestCovered = -1;
    for (const QPoint &at : tried) {
        const int x = std::max(area.left(), std::min(at.x(), area.right() + 1 - size.width()));
        const int y = std::max(area.top(), std::min(at.y(), area.bottom() + 1 - size.height()));
        const QRect covered = QRect(QPoint(x, y), size) & main;
        const qint64 amount = covered.isEmpty() ? 0 : qint64(covered.width()) * covered.height();
        if (bestCovered < 0 || amount < bestCovered) {
            best = QPoint(x, y);
            bestCovered = amount;
        }
        if (amount == 0)
            break;
    }
    return best;
}

void bringToFront(QWidget *w) {
    w->show();
    keepOnScreen(w);
    w->raise();
    w->activateWindow();
}

QPointer<frmSuccess> s_success;

// Base of the help dialogs: fixed, ownerless and modeless, destroyed when it closes. The
// instance slot is cleared the moment the dialog closes, not when the deferred delete runs,
// so a Show right after a close loads a fresh dialog.
class HelpForm : public QDialog {
public:
    HelpForm(const char *name, QPointer<QDialog> &slot) : m_slot(slot) {
        setObjectName(QLatin1String(name));
        setAttribute(Qt::WA_DeleteOnClose);
        setWindowFlags(kFixedDialogFlags);
        setWindowIcon(toolIcon());
        m_slot = this;
    }
    ~HelpForm() override { unload(); }

protected:
    void closeEvent(QCloseEvent *event) override {
        QDialog::closeEvent(event);
        if (event->isAccepted())
            unload();
    }
    // Esc and the OK button end up here rather than in closeEvent. Esc closing a dialog is
    // the platform's habit and harmless (the dialog only informs), so it stays.
    void done(int result) override {
        unload();
        QPointer<QDialog> guard(this);
        QDialog::done(result);
        if (guard)
            deleteLater();
    }

private:
    void unload() {
        if (m_slot == this)
            m_slot = nullptr;
    }

    QPointer<QDialog> &m_slot;
};

QPointer<QDialog> s_instructions;
QPointer<QDialog> s_history;
QPointer<QDialog> s_about;

// The help dialogs' one read-only text box, filling the dialog.
QTextEdit *makeTextBox(QWidget *parent, Qt::ScrollBarPolicy vertical) {
    auto *txt = new QTextEdit(parent);
    txt->setObjectName(QStringLiteral("txtText1"));
    txt->setReadOnly(true);
    txt->setAcceptRichText(false);
    txt->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txt->setVerticalScrollBarPolicy(vertical);
    auto *layout = new QVBoxLayout(parent);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(txt);
    return txt;
}

// The Instructions' continuation lines are aligned with blanks, so the text needs a fixed
// pitch; the size is reduced until the longest line fits the width the dialog is given.
QFont instructionsFont(const QString &text, qreal availableWidth) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    for (qreal pt = qMax<qreal>(font.pointSizeF(), 9); pt >= 7; pt -= 0.5) {
        font.setPointSizeF(pt);
        const QFontMetricsF fm(font);
        qreal widest = 0;
        for (const QString &line : lines)
            widest = qMax(widest, fm.horizontalAdvance(line));
        if (widest <= availableWidth)
            break;
    }
    return font;
}

class frmInstructions : public HelpForm {
public:
    explicit frmInstructions(QWidget *mainWindow) : HelpForm("frmInstructions", s_instructions) {
        txtText1 = makeTextBox(this, Qt::ScrollBarAlwaysOff);
        Form_Load(mainWindow);
    }

private:
    // The instructions are read while the main window is used. Frames are compared on the
    // assumption that both windows get the same decorations, which this one does not have
    // before it is shown.
    void placeBeside(QWidget *mainWindow) {
        const QRect main = mainWindow->frameGeometry();
        const QSize decorations = main.size() - mainWindow->size();
        const QPoint at =
            leastCovering(main, size() + decorations, availableArea(main, mainWindow));
        move(at);
    }

    void Form_Load(QWidget *mainWindow) {
        const QString text = instructionsText();
        // Frame widths are compared on the assumption that both windows get the same
        // decorations; the client width follows from the main window's.
        const int width = mainWindow ? mainWindow->width() : 480;
        setWindowTitle(QStringLiteral("Instructions"));

        const int frame = txtText1->frameWidth();
        const qreal margin = txtText1->document()->documentMargin();
        const qreal textWidth = width - 2 * frame - 2 * margin;
        txtText1->setFont(instructionsFont(text, textWidth));
        txtText1->document()->setDefaultFont(txtText1->font());
        txtText1->setPlainText(text);
        // Lay the text out at the width it will have and make the box tall enough for all of it.
        txtText1->document()->setTextWidth(width - 2 * frame);
        const int height = int(std::ceil(txtText1->document()->size().height())) + 2 * frame + 2;
        setFixedSize(width, height);
        if (mainWindow)
            placeBeside(mainWindow);
    }

    QTextEdit *txtText1 = nullptr;
};

class frmHistory : public HelpForm {
public:
    explicit frmHistory(QWidget *mainWindow) : HelpForm("frmHistory", s_history) {
        txtText1 = makeTextBox(this, Qt::ScrollBarAlwaysOn);

        int width = 2 * (mainWindow ? mainWindow->width() : 400);
        if (mainWindow) {
            // No wider than the screen (a large scale factor leaves little room).
            const QRect main = mainWindow->frameGeometry();
            const int frame = main.width() - mainWindow->width();
            width = std::min(width, availableArea(main, mainWindow).width() - frame);
        }
        const int lines = 18;
        const int height = txtText1->fontMetrics().lineSpacing() * lines +
                           2 * txtText1->frameWidth() +
                           int(2 * txtText1->document()->documentMargin());
        setFixedSize(width, height);
        Form_Load();
    }

private:
    void Form_Load() {
        setWindowTitle(QStringLiteral("Version History"));
        txtText1->setPlainText(historyText());
    }

    QTextEdit *txtText1 = nullptr;
};

class frmAbout : public HelpForm {
public:
    explicit frmAbout(const QString &sVersion) : HelpForm("frmAbout", s_about) {
        lblMessage = new QLabel(this);
        lblMessage->setObjectName(QStringLiteral("lblMessage"));
        accessible::exposeText(lblMessage);
        lblMessage->setTextFormat(Qt::PlainText);
        lblMessage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        OKButton = new QPushButton(QStringLiteral("OK"), this);
        OKButton->setObjectName(QStringLiteral("OKButton"));
        OKButton->setDefault(true);
        connect(OKButton, &QPushButton::clicked, this, [this] { close(); });

        auto *buttons = new QVBoxLayout;
        buttons->addWidget(OKButton);
        buttons->addStretch();
        auto *layout = new QHBoxLayout(this);
        layout->setSizeConstraint(QLayout::SetFixedSize);
        layout->addWidget(lblMessage, 1);
        layout->addSpacing(16);
        layout->addLayout(buttons);

        Form_Load(sVersion);
        adjustSize();
        centreOnScreen(this);
    }

private:
    void Form_Load(const QString &sVersion) {
        setWindowTitle(QStringLiteral("About"));
        // A label draws a CR as a glyph of its own; the line breaks are the same.
        lblMessage->setText(
            aboutText(sVersion).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    }

    QLabel *lblMessage = nullptr;
    QPushButton *OKButton = nullptr;
};

} // namespace

// ---- frmSuccess ---------------------------------------------------------------------------

frmSuccess::frmSuccess(bool &bSuccess) : m_bSuccess(bSuccess) {
    setObjectName(QStringLiteral("frmSuccess"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(kFixedDialogFlags);
    setWindowIcon(toolIcon());

    picZARVOLogo = new QLabel(this);
    picZARVOLogo->setObjectName(QStringLiteral("picZARVOLogo"));
    picZARVOLogo->setFrameShape(QFrame::NoFrame);
    picZARVOLogo->setPixmap(makerLogo(devicePixelRatioF()));
    picZARVOLogo->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    lblMessage = new QLabel(this);
    lblMessage->setObjectName(QStringLiteral("lblMessage"));
    accessible::exposeText(lblMessage);
    lblMessage->setAlignment(Qt::AlignCenter);

    OKButton = new QPushButton(this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setDefault(true);
    OKButton->setMinimumWidth(100);
    connect(OKButton, &QPushButton::clicked, this, [this] { OKButton_Click(); });

    tmrCountDown = new QTimer(this);
    tmrCountDown->setObjectName(QStringLiteral("tmrCountDown"));
    connect(tmrCountDown, &QTimer::timeout, this, [this] { tmrCountDown_Timer(); });

    auto *top = new QHBoxLayout;
    top->addWidget(picZARVOLogo, 0, Qt::AlignLeft | Qt::AlignTop);
    top->addSpacing(12);
    top->addWidget(lblMessage, 1);
    auto *bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(OKButton);
    bottom->addStretch();
    auto *layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addLayout(top);
    layout->addSpacing(8);
    layout->addLayout(bottom);

    Form_Load();
    adjustSize();
    centreOnScreen(this);
}

frmSuccess::~frmSuccess() {
    // Deleted without having been closed: it still has to leave the flag right.
    if (!m_bUnloaded)
        Form_Unload();
}

void frmSuccess::Form_Load() {
    s_success = this;
    m_bSuccess = true;
    setWindowTitle(QString::fromUtf8(appinfo::kTitle) + QStringLiteral(" Updated"));
    lblMessage->setText(QStringLiteral("Update was successfully finished."));
    lCountDown = kCountDownSeconds;
    OKButton->setText(QStringLiteral("OK [%1 sec.]").arg(lCountDown));
    tmrCountDown->setInterval(kCountDownTick);
    tmrCountDown->start();
}

// Runs once, at close time, whichever way the dialog goes; the object itself is deleted later.
// The flag belongs to the main window, which may be gone by the time the deferred delete runs.
void frmSuccess::Form_Unload() {
    if (m_bUnloaded)
        return;
    m_bUnloaded = true;
    tmrCountDown->stop();
    m_bSuccess = false;
    if (s_success == this)
        s_success = nullptr;
}

void frmSuccess::closeEvent(QCloseEvent *event) {
    QDialog::closeEvent(event);
    if (event->isAccepted())
        Form_Unload();
}

// Esc ends up here too: closing the completion dialog by Esc is the platform's habit and
// harmless, the instrument resets on its own whatever the dialog does.
void frmSuccess::done(int result) {
    Form_Unload();
    QPointer<frmSuccess> guard(this);
    QDialog::done(result);
    if (guard)
        deleteLater();
}

void frmSuccess::OKButton_Click() {
    close();
}

void frmSuccess::tmrCountDown_Timer() {
    if (m_bUnloaded)
        return; // a tick already queued when the dialog closed
    lCountDown = lCountDown - 1;
    OKButton->setText(QStringLiteral("OK [%1 sec.]").arg(lCountDown));
    if (lCountDown <= 0)
        OKButton_Click();
}

frmSuccess *frmSuccess::Show(bool &bSuccess) {
    frmSuccess *dlg = s_success ? s_success.data() : new frmSuccess(bSuccess);
    bringToFront(dlg);
    return dlg;
}

frmSuccess *frmSuccess::instance() {
    return s_success;
}

void frmSuccess::Unload() {
    if (s_success)
        s_success->close();
}

// ---- Help dialogs -------------------------------------------------------------------------

QDialog *showInstructions(QWidget *mainWindow) {
    QDialog *dlg = s_instructions ? s_instructions.data() : new frmInstructions(mainWindow);
    bringToFront(dlg);
    return dlg;
}

QDialog *showHistory(QWidget *mainWindow) {
    QDialog *dlg = s_history ? s_history.data() : new frmHistory(mainWindow);
    bringToFront(dlg);
    return dlg;
}

QDialog *showAbout(const QString &sVersion) {
    QDialog *dlg = s_about ? s_about.data() : new frmAbout(sVersion);
    bringToFront(dlg);
    return dlg;
}

QString instructionsText() {
    return joinLines({
        QStringLiteral("How to use:"),
        QStringLiteral("1.   Connect ZARVO unit to computer serial port."),
        QStringLiteral("2.   If the ZARVO unit is located at a remote site, turn on"),
        QStringLiteral("      the ZARVO unit, check the Remote Program box, and"),
        QStringLiteral("      skip to Step 4."),
        QStringLiteral("3.   Press and hold [MODE], [PEAK] and [ALARM] while"),
        QStringLiteral("      turning on the power.  \"BOOTLOADER READY...\""),
        QStringLiteral("      message will appear on the ZARVO-41x LCD."),
        QStringLiteral("4.   Select the COM Port the ZARVO unit is attached to,"),
        QStringLiteral("      or enter higher port number if required."),
        QStringLiteral("5.   Select the Baudrate."),
        QStringLiteral("6.   Click [Program]."),
        QStringLiteral("7.   If at any time you want to stop, just click [Cancel]."),
        QStringLiteral("8.   Once completed, click [Exit] to exit the application."),
        QStringLiteral("9.   The ZARVO unit will reset in 30 seconds, or you can"),
        QStringLiteral("      turn off the ZARVO unit at any time."),
        QStringLiteral("10. Note the ZARVO unit is reset to its factory defaults."),
    });
}

QString historyText() {
    // The release notes are one file, written when a release is shipped, that also gives the
    // desktop package its list of releases; the newest entry must be the firmware this tool
    // carries, which the tests hold it to.
    QFile notes(QStringLiteral(":/history.txt"));
    if (!notes.open(QIODevice::ReadOnly))
        return QString();
    QString text = QString::fromUtf8(notes.readAll()).remove(u'\r');
    if (text.endsWith(u'\n'))
        text.chop(1);
    return joinLines(text.split(u'\n'));
}

QString aboutText(const QString &sVersion) {
    return joinLines({
        QString::fromUtf8(appinfo::kTitle) + QStringLiteral(" Version ") + sVersion,
        QString(),
        QStringLiteral("ZARVO Radio Instruments"),
        QStringLiteral("412 Quillon Road, Suite 5"),
        QStringLiteral("Ambervale, NW 00415"),
        QString(),
        // The closing year follows the release: version 10.x is the 2010 release.
        QStringLiteral("Copyright (C) ZARVO Radio Instruments 2008-20") +
            twoDigits(appinfo::kVersionMajor),
    });
}

// ---- Unloading ----------------------------------------------------------------------------

void UnloadAllForms(const QString &formToIgnore) {
    // Closing one form may close or delete others (the main window's unload closes every
    // dialog), so the forms are picked first and held by guarded pointers.
    QList<QPointer<QWidget>> forms;
    const QWidgetList topLevel = QApplication::topLevelWidgets();
    for (QWidget *w : topLevel) {
        const QString name = w->objectName();
        const bool ours =
            std::any_of(std::begin(kFormNames), std::end(kFormNames),
                        [&](const char *form) { return name == QLatin1String(form); });
        if (ours && name != formToIgnore)
            forms.append(w);
    }
    for (const QPointer<QWidget> &w : std::as_const(forms)) {
        if (!w)
            continue;
        // A form that refuses to close keeps its state; destroying it anyway could pull the
        // window out from under a running procedure. The dialogs destroy themselves on
        // close (deferred, as the caller may be code of one of them); the main window
        // belongs to main() and is never deleted here.
        w->close();
    }
}
