// The main window's controls as the update's presenter drives them: the progress bar, the
// status panels numbered 1 to 4, the controls an update locks, and message boxes. The
// window implements it with widgets; tests record it.
#pragma once

#include <QString>

class Form {
public:
    enum class Icon { Exclamation, Critical, Question };
    enum class Buttons { Ok, YesNo };
    enum class Answer { Ok, Yes, No };
    // The controls that an update locks, in the order it disables them.
    enum class Control { cmdProgram, chkRemote, lblRemote, cboComPort, cboBaudrate };

    virtual ~Form() = default;

    // ProgressBar1's Value and Max.
    virtual void setProgressValue(float value) = 0;
    virtual void setProgressMax(float max) = 0;
    virtual void setPanelText(int panel, const QString &text) = 0;
    virtual void setExitCaption(const QString &caption) = 0;
    virtual void setMessageLine(const QString &text) = 0; // lblMessage
    virtual void setControlEnabled(Control control, bool enabled) = 0;
    virtual bool remoteChecked() const = 0; // chkRemote.Value == 1

    // A modal message box; returns the button that closed it. `informative` goes below the
    // text, in smaller print.
    virtual Answer messageBox(const QString &text, const QString &title, Icon icon,
                              Buttons buttons = Buttons::Ok, Answer defaultButton = Answer::Ok,
                              const QString &informative = {}) = 0;

    // frmSuccess: shown modeless without owner; unloaded before the next update.
    virtual void showSuccess() = 0;
    virtual void unloadSuccess() = 0;

    // Unloads the main window; the program ends once no form is left.
    virtual void unloadMainWindow() = 0;
};
