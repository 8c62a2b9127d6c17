// What the bootloader link and the update procedure need from the main window, so that
// they run, and are tested, without widgets. The window implements it; tests record it.
#pragma once

#include <QString>

#include "texts.h"

class View {
public:
    enum class Icon { Exclamation, Critical, Question };
    enum class Buttons { Ok, YesNo };
    enum class Answer { Ok, Yes, No };
    // The controls that an update locks, in the order it disables them.
    enum class Control { cmdProgram, chkRemote, lblRemote, cboComPort, cboBaudrate };

    virtual ~View() = default;

    virtual float progressValue() const = 0;
    virtual float progressMax() const = 0;
    virtual void setProgressValue(float value) = 0;
    virtual void setProgressMax(float max) = 0;

    // Panels of StatusBar1, numbered 1 to 4.
    virtual QString panelText(int panel) const = 0;
    virtual void setPanelText(int panel, const QString &text) = 0;

    virtual void setExitCaption(const QString &caption) = 0;
    virtual void setMessageLine(const QString &text) = 0; // lblMessage
    virtual void setControlEnabled(Control control, bool enabled) = 0;
    virtual bool remoteChecked() const = 0; // chkRemote.Value == 1

    // A modal message box; returns the button that closed it.
    virtual Answer messageBox(const QString &text, const QString &title, Icon icon,
                              Buttons buttons = Buttons::Ok, Answer defaultButton = Answer::Ok) = 0;

    // frmSuccess: shown modeless without owner; unloaded before the next update.
    virtual void showSuccess() = 0;
    virtual void unloadSuccess() = 0;

    // Unloads the main window; the program ends once no form is left.
    virtual void unloadMainWindow() = 0;

    // Milestones for a front end that reports to a program; the window shows them through
    // its panels and ignores these.
    virtual void portOpened() {}
    virtual void identified(const QString &device, const QString &installed) {
        Q_UNUSED(device);
        Q_UNUSED(installed);
    }

    void ResetStatusPanels() {
        setPanelText(1, texts::IdleStatus);
        for (int panel = 2; panel <= 4; ++panel)
            setPanelText(panel, QString());
    }
};
