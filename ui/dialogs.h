// The tool's dialogs: the completion dialog with its countdown, and the three help
// dialogs. Each is a single instance, shown modeless without an owner, and destroyed
// (unloaded) when it closes.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPixmap>

class QCloseEvent;
class QLabel;
class QPushButton;
class QTimer;

// The tool's icon and the maker's logo (icons/*.svg, compiled in). The logo is drawn for
// a screen of the given device pixel ratio, so that it stays sharp on a high-density one.
QIcon toolIcon();
QPixmap makerLogo(qreal devicePixelRatio = 1.0);

class frmSuccess : public QDialog {
    Q_OBJECT
public:
    // `bSuccess` is the main window's flag: true exactly while this dialog exists.
    explicit frmSuccess(bool &bSuccess);
    ~frmSuccess() override;

    // Loads the dialog if needed and shows it; returns the instance.
    static frmSuccess *Show(bool &bSuccess);
    static frmSuccess *instance();
    static void Unload(); // no-op when not loaded

    void tmrCountDown_Timer(); // one tick; public so tests can drive the countdown
    qint32 countDown() const { return lCountDown; }

protected:
    void closeEvent(QCloseEvent *event) override;
    void done(int result) override;

private:
    void Form_Load();
    void Form_Unload();
    void OKButton_Click();

    bool &m_bSuccess;
    bool m_bUnloaded = false;
    qint32 lCountDown = 0;
    QLabel *picZARVOLogo = nullptr;
    QLabel *lblMessage = nullptr;
    QPushButton *OKButton = nullptr;
    QTimer *tmrCountDown = nullptr;
};

// The help dialogs. `mainWindow` gives the Instructions dialog its place and width and the
// Version History dialog its width.
QDialog *showInstructions(QWidget *mainWindow);
QDialog *showHistory(QWidget *mainWindow);
QDialog *showAbout(const QString &sVersion);

// The texts, as the dialogs show them (lines joined with CR LF).
QString instructionsText();
QString historyText();
QString aboutText(const QString &sVersion);

// Unloads every loaded form whose objectName differs from formToIgnore (exact match).
void UnloadAllForms(const QString &formToIgnore = QString());
