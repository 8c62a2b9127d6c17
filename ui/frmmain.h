// The tool's only permanent window: settings, progress and status of a firmware update,
// the Help menu, and the owner of the serial port and the update's state.
#pragma once

#include <QBasicTimer>
#include <QElapsedTimer>

#include "engine.h"
#include "form.h"
#include "formpresenter.h"

#include <QMainWindow>
#include <QPointer>
#include <memory>

class QAction;
class QBoxLayout;
class QCheckBox;
class QComboBox;
class QFrame;
class QLayout;
class QLabel;
class QMenu;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QuitSignals;
class SingleInstance;

class frmMain : public QMainWindow, public Form {
    Q_OBJECT
public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

    // Start-up. False when another copy of the tool already runs: the user has been told,
    // that copy's window is in front, and this window must never be shown.
    bool Form_Load();

    // The commands behind the buttons and the F4 and Esc keys. Virtual so that a test can
    // count the calls without running an update.
    virtual void cmdProgram_Click();
    virtual void cmdExit_Click();

    // Selection handlers: each stores the choice and clears the traces of the last update.
    void cboComPort_Click();
    void cboComPort_Change();
    void cboBaudrate_Click();
    void chkRemote_Click();

    SingleInstance &singleInstance() { return *m_instance; }

    float progressValue() const { return m_progressValue; }
    float progressMax() const { return m_progressMax; }
    QString panelText(int panel) const;

    // Form
    void setProgressValue(float value) override;
    void setProgressMax(float max) override;
    void setPanelText(int panel, const QString &text) override;
    void setExitCaption(const QString &caption) override;
    void setMessageLine(const QString &text) override;
    void setControlEnabled(Control control, bool enabled) override;
    bool remoteChecked() const override;
    Answer messageBox(const QString &text, const QString &title, Icon icon,
                      Buttons buttons = Buttons::Ok, Answer defaultButton = Answer::Ok,
                      const QString &informative = {}) override;
    void showSuccess() override;
    void unloadSuccess() override;
    void unloadMainWindow() override;

private:
    // Declared first: the update reports to it until the engine is gone.
    FormPresenter m_presenter;

public:
    Engine engine;

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool event(QEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    void buildControls();
    void buildMenu();
    QLayout *buildSettingsRow(QWidget *central);
    void buildProgressRows(QWidget *central, QBoxLayout *rows);
    QLayout *buildButtonsRow(QWidget *central);
    void layoutPanels();
    void showProgress();
    void selectComPort(int index);
    void selectBaudrate(int index);
    // Runs the Program command, then finishes a close that was asked for meanwhile.
    void program();
    void Form_Unload();
    // A close during an update: asked first, then the update cancelled, then the close.
    void askBeforeClosing();
    // Closes now, or once a running update has been cancelled and has returned.
    void closeAfterUpdate();
    void leaveMenu();
    // SIGINT, SIGTERM or SIGHUP: the program ends as a close of the window ends it.
    void endBySignal();

    QMenu *mnuHelp = nullptr;
    QAction *mnuHelpInstr = nullptr;
    QAction *mnuHelpHistory = nullptr;
    QAction *mnuHelpAbout = nullptr;
    QFrame *Line1 = nullptr;
    QCheckBox *chkRemote = nullptr;
    QLabel *lblRemote = nullptr;
    QComboBox *cboComPort = nullptr;
    QComboBox *cboBaudrate = nullptr;
    QLabel *lblMessage = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QPushButton *cmdProgram = nullptr;
    QPushButton *cmdExit = nullptr;
    QStatusBar *StatusBar1 = nullptr;
    QLabel *m_panels[4] = {};

    SingleInstance *m_instance = nullptr;
    QPointer<QWidget> m_lastControl; // the last control of this window that had the focus
    float m_progressValue = 0.0f;
    float m_progressMax = 100.0f;
    bool m_keyPreview = false;
    // The port box holds the list's "COM1" because the typed text gave no port; a character
    // typed after it is not the digit of a port name the user typed.
    bool m_comPortFellBack = false;
    bool m_closePending = false;
    QPointer<QMessageBox> m_closeQuestion;
    std::unique_ptr<QuitSignals> m_quitSignals;
    QElapsedTimer m_sinceRepaint;
    QBasicTimer m_repaintLater;
};
