#include "frmmain.h"

#include "accessible.h"
#include "appinfo.h"
#include "dialogs.h"
#include "portnumber.h"
#include "quitsignals.h"
#include "singleinstance.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

namespace {

// QProgressBar counts in integers; the update counts in fractions of a frame.
constexpr int kProgressSteps = 10000;
// Milliseconds between repaints while an update runs: about 30 a second.
constexpr qint64 kRepaintInterval = 33;
constexpr int kWindowWidth = 420;
constexpr int kComboWidth = 90;
constexpr int kPanelCount = 4;
// Shares of the status bar's width, panel 1 to 4, in percent.
constexpr int kPanelShare[kPanelCount] = {44, 14, 25, 17};
const QString kCloseQuestion =
    QStringLiteral("An update is running. Cancel it and close the window?");
const char *const kPanelTip[kPanelCount] = {
    "Status", "Indicators: Erase, Blank Check, Program, Verify", "Error Data", "Firmware Version"};

// Object names are for tests and inspectors; a screen reader hears the shown text (Qt's
// default), and the tool tip as the description.
void name(QWidget *widget, const QString &objectName, const QString &toolTip = {}) {
    widget->setObjectName(objectName);
    if (!toolTip.isEmpty())
        widget->setToolTip(toolTip);
}

// A caption that toggles its check box when clicked, as a check box's own caption does. The
// platform the window follows behaves so, and it is harmless: the box is read only when an
// update starts.
class CaptionLabel : public QLabel {
public:
    using QLabel::QLabel;
    std::function<void()> onClick;

protected:
    void mouseReleaseEvent(QMouseEvent *event) override {
        QLabel::mouseReleaseEvent(event);
        if (onClick && isEnabled() && rect().contains(event->position().toPoint()))
            onClick();
    }
};

// The status bar with its four text panels, each given its share of the bar's width.
class PanelBar : public QStatusBar {
public:
    explicit PanelBar(QWidget *parent) : QStatusBar(parent) {
        setSizeGripEnabled(false);
        for (int i = 0; i < kPanelCount; ++i) {
            auto *panel = new QLabel(this);
            name(panel, QStringLiteral("Panel%1").arg(i + 1), QString::fromLatin1(kPanelTip[i]));
            accessible::exposeText(panel);
            panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            panel->setTextFormat(Qt::PlainText);
            panel->setIndent(3);
            m_panels[i] = panel;
        }
        setFixedHeight(m_panels[0]->sizeHint().height() + 4);
    }
    QLabel *panel(int index) const { return m_panels[index]; }

protected:
    void resizeEvent(QResizeEvent *event) override {
        QStatusBar::resizeEvent(event);
        // Edges from the running total, so that rounding never leaves a gap at the end.
        int share = 0;
        int left = 0;
        for (int i = 0; i < kPanelCount; ++i) {
            share += kPanelShare[i];
            const int right = (width() * share + 50) / 100;
            m_panels[i]->setGeometry(left, 1, right - left, height() - 2);
            left = right;
        }
    }

private:
    QLabel *m_panels[kPanelCount] = {};
};

} // namespace

frmMain::frmMain(QWidget *parent)
    : QMainWindow(parent), m_presenter(*this, engine.state), engine(m_presenter),
      m_instance(new SingleInstance(this)) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowIcon(toolIcon());
    buildControls();
    m_instance->setWindow(this);

    adjustSize();
    setFixedSize(std::max(kWindowWidth, sizeHint().width()), sizeHint().height());
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

frmMain::~frmMain() {
    qApp->removeEventFilter(this);
    // The base class closes the window after this body has run, and taking the focus out of
    // a port box with typed text makes Qt emit activated(): no handler of this window may
    // run once its own part is gone.
    for (QObject *child : findChildren<QObject *>())
        disconnect(child, nullptr, this, nullptr);
    // The completion dialog writes this window's flag when it goes, so it must not outlive
    // the window; the flag is true exactly while it is this window's dialog.
    if (engine.state.bSuccess)
        frmSuccess::Unload();
}

void frmMain::buildControls() {
    buildMenu();

    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("centralWidget"));
    auto *rows = new QVBoxLayout(central);
    rows->setContentsMargins(8, 0, 8, 8);

    Line1 = new QFrame(central);
    name(Line1, QStringLiteral("Line1"));
    Line1->setFrameShape(QFrame::HLine);
    Line1->setFrameShadow(QFrame::Sunken);
    rows->addWidget(Line1);
    rows->addLayout(buildSettingsRow(central));
    buildProgressRows(central, rows);
    rows->addLayout(buildButtonsRow(central));
    setCentralWidget(central);

    auto *bar = new PanelBar(this);
    StatusBar1 = bar;
    name(StatusBar1, QStringLiteral("StatusBar1"));
    for (int i = 0; i < kPanelCount; ++i)
        m_panels[i] = bar->panel(i);
    setStatusBar(StatusBar1);

    // Labels, the progress bar and the status bar take no focus; their places in the chain
    // keep the designed order for tools that walk it.
    QWidget *order[] = {cmdProgram,   cmdExit,    chkRemote, cboComPort, cboBaudrate,
                        ProgressBar1, StatusBar1, lblRemote, lblMessage};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(cmdProgram, &QPushButton::clicked, this, [this] { program(); });
    connect(cmdExit, &QPushButton::clicked, this, [this] { cmdExit_Click(); });
    connect(chkRemote, &QCheckBox::clicked, this, [this] { chkRemote_Click(); });
    connect(cboComPort, &QComboBox::activated, this, [this] { cboComPort_Click(); });
    connect(cboComPort->lineEdit(), &QLineEdit::textEdited, this, [this] { cboComPort_Change(); });
    connect(cboBaudrate, &QComboBox::activated, this, [this] { cboBaudrate_Click(); });
}

void frmMain::buildMenu() {
    mnuHelp = menuBar()->addMenu(QStringLiteral("Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuHelp->menuAction()->setObjectName(QStringLiteral("mnuHelpMenu"));
    mnuHelpInstr = mnuHelp->addAction(QStringLiteral("Instructions"));
    mnuHelpInstr->setObjectName(QStringLiteral("mnuHelpInstr"));
    mnuHelpInstr->setShortcut(QKeySequence(Qt::Key_F1));
    mnuHelpInstr->setShortcutContext(Qt::WindowShortcut);
    mnuHelpHistory = mnuHelp->addAction(QStringLiteral("Version History"));
    mnuHelpHistory->setObjectName(QStringLiteral("mnuHelpHistory"));
    mnuHelpAbout = mnuHelp->addAction(QStringLiteral("About"));
    mnuHelpAbout->setObjectName(QStringLiteral("mnuHelpAbout"));
    connect(mnuHelpInstr, &QAction::triggered, this, [this] { showInstructions(this); });
    connect(mnuHelpHistory, &QAction::triggered, this, [this] { showHistory(this); });
    connect(mnuHelpAbout, &QAction::triggered, this, [this] { showAbout(engine.state.sVersion); });
}

QLayout *frmMain::buildSettingsRow(QWidget *central) {
    auto *settings = new QHBoxLayout;
    chkRemote = new QCheckBox(central);
    name(chkRemote, QStringLiteral("chkRemote"), QStringLiteral("Check for Remote Program"));
    accessible::nameByToolTip(chkRemote);
    auto *caption = new CaptionLabel(central);
    lblRemote = caption;
    name(lblRemote, QStringLiteral("lblRemote"));
    accessible::exposeText(lblRemote);
    lblRemote->setText(QStringLiteral("Remote Program"));
    caption->onClick = [this] {
        if (chkRemote->isEnabled())
            chkRemote->click();
    };
    cboComPort = new QComboBox(central);
    name(cboComPort, QStringLiteral("cboComPort"), QStringLiteral("COM Port"));
    cboComPort->setEditable(true);
    accessible::nameByToolTip(cboComPort);
    cboComPort->setInsertPolicy(QComboBox::NoInsert);
    // Completion would turn a typed "C" into "COM1" behind the user's back.
    cboComPort->setCompleter(nullptr);
    cboComPort->setFixedWidth(kComboWidth);
    cboComPort->lineEdit()->setObjectName(QStringLiteral("cboComPortEdit"));
    cboBaudrate = new QComboBox(central);
    name(cboBaudrate, QStringLiteral("cboBaudrate"), QStringLiteral("Baudrate"));
    accessible::nameByToolTip(cboBaudrate);
    cboBaudrate->setEditable(false);
    cboBaudrate->setFixedWidth(kComboWidth);
    settings->addWidget(chkRemote);
    settings->addWidget(lblRemote);
    settings->addStretch(1);
    settings->addWidget(cboComPort);
    settings->addWidget(cboBaudrate);
    return settings;
}

void frmMain::buildProgressRows(QWidget *central, QBoxLayout *rows) {
    lblMessage = new QLabel(central);
    name(lblMessage, QStringLiteral("lblMessage"));
    accessible::exposeText(lblMessage);
    lblMessage->setAlignment(Qt::AlignCenter);
    lblMessage->setTextFormat(Qt::PlainText);
    lblMessage->setMinimumHeight(lblMessage->fontMetrics().height());
    rows->addWidget(lblMessage);

    ProgressBar1 = new QProgressBar(central);
    name(ProgressBar1, QStringLiteral("ProgressBar1"), QStringLiteral("Progress Bar"));
    accessible::nameByToolTip(ProgressBar1);
    ProgressBar1->setRange(0, kProgressSteps);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    rows->addWidget(ProgressBar1);
}

QLayout *frmMain::buildButtonsRow(QWidget *central) {
    auto *buttons = new QHBoxLayout;
    cmdProgram = new QPushButton(texts::ProgramCaption, central);
    name(cmdProgram, QStringLiteral("cmdProgram"), QStringLiteral("Update Firmware"));
    cmdExit = new QPushButton(texts::ExitCaption, central);
    name(cmdExit, QStringLiteral("cmdExit"), QStringLiteral("Exit"));
    for (QPushButton *button : {cmdProgram, cmdExit}) {
        button->setAutoDefault(false);
        button->setMinimumWidth(110);
    }
    buttons->addWidget(cmdProgram);
    buttons->addStretch(1);
    buttons->addWidget(cmdExit);
    return buttons;
}

bool frmMain::Form_Load() {
    FormState &st = engine.state;
    st.sVersion = QString::fromLatin1(appinfo::kVersionDigits);
    st.sTitleVer = QString::fromUtf8(appinfo::kTitleVersion);
    setWindowTitle(st.sTitleVer);

    cboComPort->clear();
    for (int port = 1; port <= serial::kPortsInWindowList; ++port)
        cboComPort->addItem(QStringLiteral("COM%1").arg(port));
    selectComPort(0);

    cboBaudrate->clear();
    for (int rate : appinfo::kBaudRates)
        cboBaudrate->addItem(QString::number(rate));
    selectBaudrate(cboBaudrate->findText(QString::number(appinfo::kDefaultBaudRate)));

    st.iComPort = qint16(cboComPort->currentIndex() + 1);
    chkRemote->setChecked(false);
    setMessageLine(QString());
    cmdProgram->setText(texts::ProgramCaption);
    setExitCaption(texts::ExitCaption);
    m_presenter.clearDisplay();
    st.bIdle = true;
    st.bCheckFailed = false;
    st.bSuccess = false;

    if (!m_keyPreview) {
        m_keyPreview = true;
        qApp->installEventFilter(this);
    }
    cmdProgram->setFocus(Qt::OtherFocusReason);

    // SIGINT, SIGTERM and SIGHUP on Unix; on Windows the session's end. Caught before the
    // copy can be found: a signal sent to it once it answers must not find it defenceless.
    if (!m_quitSignals) {
        auto quit = std::make_unique<QuitSignals>();
        connect(quit.get(), &QuitSignals::received, this, &frmMain::endBySignal);
        m_quitSignals = std::move(quit);
    }
    if (!m_instance->acquire()) {
        messageBox(QStringLiteral("Another instance of this program is already open."),
                   st.sTitleVer, Icon::Exclamation, Buttons::Ok, Answer::Ok);
        m_instance->activateRunning();
        unloadMainWindow();
        return false;
    }
    return true;
}

void frmMain::endBySignal() {
    // As closing the window does: a running update ends quietly and the window goes once
    // the update's wait has unwound, the port closed and its lock gone. A box still waiting
    // for an answer is answered as Esc would answer it: nobody is there to press a button,
    // and nobody to ask whether the update should end.
    closeAfterUpdate();
    QWidget *last = nullptr;
    while (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
        if (dialog == last)
            break;
        last = dialog;
        dialog->reject();
    }
}

void frmMain::cmdProgram_Click() {
    engine.updater.cmdProgram_Click();
}

void frmMain::cmdExit_Click() {
    engine.updater.cmdExit_Click();
}

void frmMain::program() {
    cmdProgram_Click();
    if (engine.updater.running())
        return;
    // The question is about an update that has ended.
    if (m_closeQuestion)
        m_closeQuestion->done(QMessageBox::No);
    // A close asked for during the update was put off until the update's wait had ended.
    if (m_closePending) {
        m_closePending = false;
        close();
    }
}

void frmMain::selectComPort(int index) {
    // Setting the index that is already current emits nothing, and the edit text may hold
    // something typed: set both, then run the handler as a choice from the list does.
    cboComPort->setCurrentIndex(index);
    cboComPort->setEditText(cboComPort->itemText(index));
    cboComPort_Click();
}

void frmMain::selectBaudrate(int index) {
    cboBaudrate->setCurrentIndex(index);
    cboBaudrate_Click();
}

void frmMain::cboComPort_Click() {
    m_comPortFellBack = false;
    engine.state.iComPort = qint16(cboComPort->currentIndex() + 1);
    m_presenter.clearDisplay();
}

void frmMain::cboComPort_Change() {
    const QString text = cboComPort->currentText();
    const QString fallBack = cboComPort->itemText(0);
    const bool appendedToFallBack = std::exchange(m_comPortFellBack, false) &&
                                    text.size() > fallBack.size() && text.startsWith(fallBack);
    const QString kept =
        appendedToFallBack ? text.left(serial::kTypedPortDigits) : cutPortText(text);
    if (kept != text) {
        cboComPort->setEditText(kept);
        cboComPort_Change();
    }
    engine.state.iComPort = portNumberFromText(cboComPort->currentText());
    if (engine.state.iComPort == 0) {
        engine.state.iComPort = 1;
        // "C" typed on the way to "COM7" stays in the box, or the name could never be typed;
        // what a cut leaves is no such beginning.
        if (kept != text || !beginsPortName(text)) {
            selectComPort(0);
            m_comPortFellBack = true;
        }
    }
    m_presenter.clearDisplay();
}

void frmMain::cboBaudrate_Click() {
    const int index = cboBaudrate->currentIndex();
    if (index >= 0 && index < int(std::size(appinfo::kBaudRates)))
        engine.state.sBaudrate = QString::number(appinfo::kBaudRates[index]);
    m_presenter.clearDisplay();
}

void frmMain::chkRemote_Click() {
    m_presenter.clearDisplay();
}

void frmMain::setProgressValue(float value) {
    m_progressValue = value;
    showProgress();
}

void frmMain::setProgressMax(float max) {
    m_progressMax = max;
    showProgress();
}

void frmMain::showProgress() {
    double fraction = 0.0;
    if (m_progressMax > 0.0f && std::isfinite(m_progressValue))
        fraction = std::clamp(double(m_progressValue) / double(m_progressMax), 0.0, 1.0);
    ProgressBar1->setValue(int(std::lround(fraction * kProgressSteps)));
}

QString frmMain::panelText(int panel) const {
    if (panel < 1 || panel > kPanelCount)
        return {};
    return m_panels[panel - 1]->text();
}

void frmMain::setPanelText(int panel, const QString &text) {
    if (panel >= 1 && panel <= kPanelCount)
        m_panels[panel - 1]->setText(text);
}

void frmMain::setExitCaption(const QString &caption) {
    cmdExit->setText(caption);
}

void frmMain::setMessageLine(const QString &text) {
    lblMessage->setText(text);
}

void frmMain::setControlEnabled(Control control, bool enabled) {
    // In the order of Form::Control.
    QWidget *const controls[] = {cmdProgram, chkRemote, lblRemote, cboComPort, cboBaudrate};
    const auto index = std::size_t(control);
    if (index < std::size(controls))
        controls[index]->setEnabled(enabled);
}

bool frmMain::remoteChecked() const {
    return chkRemote->isChecked();
}

Form::Answer frmMain::messageBox(const QString &text, const QString &title, Icon icon,
                                 Buttons buttons, Answer defaultButton,
                                 const QString &informative) {
    QMessageBox::Icon boxIcon = QMessageBox::Warning;
    switch (icon) {
    case Icon::Exclamation:
        boxIcon = QMessageBox::Warning;
        break;
    case Icon::Critical:
        boxIcon = QMessageBox::Critical;
        break;
    case Icon::Question:
        boxIcon = QMessageBox::Question;
        break;
    }
    const bool yesNo = buttons == Buttons::YesNo;
    const auto standard = yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok;
    // A window that was never shown would give the box an invisible owner to centre on.
    QMessageBox box(boxIcon, title, text, standard, isVisible() ? this : nullptr);
    box.setTextFormat(Qt::PlainText);
    box.setObjectName(QStringLiteral("MsgBox"));
    if (!informative.isEmpty())
        box.setInformativeText(informative);
    if (yesNo)
        box.setDefaultButton(defaultButton == Answer::Yes ? QMessageBox::Yes : QMessageBox::No);
    else
        box.setDefaultButton(QMessageBox::Ok);
    const int result = box.exec();
    if (!yesNo)
        return Answer::Ok;
    return result == QMessageBox::Yes ? Answer::Yes : Answer::No;
}

void frmMain::showSuccess() {
    frmSuccess::Show(engine.state.bSuccess);
}

void frmMain::unloadSuccess() {
    frmSuccess::Unload();
}

void frmMain::unloadMainWindow() {
    close();
}

void frmMain::closeEvent(QCloseEvent *event) {
    if (engine.updater.running()) {
        // The update's wait is on the stack below us: never close under it.
        event->ignore();
        if (engine.state.bIdle)
            closeAfterUpdate(); // it is only unwinding: nothing left to cancel
        else
            askBeforeClosing();
        return;
    }
    Form_Unload();
    event->accept();
}

void frmMain::askBeforeClosing() {
    if (m_closePending)
        return;
    if (m_closeQuestion) {
        m_closeQuestion->raise();
        m_closeQuestion->activateWindow();
        return;
    }
    // Shown without a loop of its own: the update's wait, below this handler, goes on while
    // the question is open, and answers it as its events come.
    auto *box = new QMessageBox(QMessageBox::Question, engine.state.sTitleVer, kCloseQuestion,
                                QMessageBox::Yes | QMessageBox::No, this);
    box->setObjectName(QStringLiteral("MsgBox"));
    box->setTextFormat(Qt::PlainText);
    box->setDefaultButton(QMessageBox::No);
    connect(box, &QMessageBox::finished, this, [this, box](int result) {
        // Deleted once the wait has unwound: deferred deletes wait for the main loop.
        box->deleteLater();
        m_closeQuestion = nullptr;
        if (result == QMessageBox::Yes)
            closeAfterUpdate();
    });
    m_closeQuestion = box;
    box->open();
}

void frmMain::closeAfterUpdate() {
    if (!engine.updater.running()) {
        close();
        return;
    }
    // The update ends quietly, and program() closes the window once it has returned.
    if (m_closePending)
        return;
    m_closePending = true;
    if (!engine.state.bIdle)
        engine.updater.cmdExit_Click(true);
}

void frmMain::Form_Unload() {
    if (engine.MSComm1.isOpen())
        engine.MSComm1.close();
    UnloadAllForms(QStringLiteral("frmMain"));
}

bool frmMain::event(QEvent *event) {
    // During an update the texts and the bar change with every frame, and each repaint
    // runs inside Send's wait, where it would hold replies back: at most one repaint per
    // interval, the ones asked for sooner put off until it has passed.
    if (event->type() == QEvent::UpdateRequest) {
        const qint64 since = m_sinceRepaint.isValid() ? m_sinceRepaint.elapsed() : kRepaintInterval;
        if (!engine.state.bIdle && since < kRepaintInterval) {
            if (!m_repaintLater.isActive())
                m_repaintLater.start(int(kRepaintInterval - since), this);
            return true;
        }
        m_repaintLater.stop();
        m_sinceRepaint.start();
    }
    return QMainWindow::event(event);
}

void frmMain::timerEvent(QTimerEvent *event) {
    if (event->timerId() != m_repaintLater.timerId()) {
        QMainWindow::timerEvent(event);
        return;
    }
    m_repaintLater.stop();
    QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
}

bool frmMain::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::FocusIn && watched->isWidgetType()) {
        auto *widget = static_cast<QWidget *>(watched);
        if (widget->window() == this && !qobject_cast<QMenuBar *>(widget))
            m_lastControl = widget;
    }
    if (m_keyPreview && event->type() == QEvent::KeyPress && watched->isWidgetType()) {
        // Only the first delivery: the one to the widget that has the focus in this window
        // (or the window itself), not the copies propagated to its parents, and never a key
        // meant for another window such as a dialog.
        QWidget *target = focusWidget() ? focusWidget() : this;
        // The menu bar has the keyboard after Alt and after Esc has closed its drop-down:
        // F4 and Esc are the menu's then (Esc leaves the menu), never Program or Exit.
        const bool menuMode = qobject_cast<QMenuBar *>(target) != nullptr;
        if (menuMode && watched == target &&
            static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape)
            QMetaObject::invokeMethod(this, &frmMain::leaveMenu, Qt::QueuedConnection);
        if (watched == target && target->window() == this && !menuMode) {
            const auto *key = static_cast<QKeyEvent *>(event);
            const auto held = Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier;
            if (!(key->modifiers() & held)) {
                if (key->key() == Qt::Key_F4)
                    program();
                else if (key->key() == Qt::Key_Escape)
                    cmdExit_Click();
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void frmMain::leaveMenu() {
    // After a drop-down opened with the mouse was closed by Esc, Qt's menu bar leaves menu
    // mode but keeps the focus (it would hand it back to the closed drop-down): give it back
    // to the control that had it, so that F4 and Esc reach the window again.
    if (!qobject_cast<QMenuBar *>(focusWidget()) || QApplication::activePopupWidget())
        return;
    if (m_lastControl)
        m_lastControl->setFocus(Qt::MenuBarFocusReason);
    else
        cmdProgram->setFocus(Qt::MenuBarFocusReason);
}
