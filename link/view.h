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

    // The phases of an update, in the order they run.
    enum class Phase {
        StartBootloader, // the remote start request
        Identify,        // the first ReadVersion: identification and installed version
        Erase,
        BlankCheck,
        Program,
        Verify,
        ResetDefaults,
        ReadBack, // the second ReadVersion: the version now installed
        Finish,   // FinishUpdate: the new firmware starts
    };

    // Milestones as values, told at the moments the window writes its panels, for a front
    // end that reports to a program or a person without reading the window's texts. The
    // window shows them through its panels and ignores these.
    virtual void portOpened() {}
    // A phase begins that has `frames` frames to send.
    virtual void phaseBegun(Phase phase, int frames) {
        Q_UNUSED(phase);
        Q_UNUSED(frames);
    }
    // `done` frames of the phase's `frames` went through: sent, answered and accepted.
    virtual void framesDone(Phase phase, int done, int frames) {
        Q_UNUSED(phase);
        Q_UNUSED(done);
        Q_UNUSED(frames);
    }
    // A ReadVersion reply of the running update was accepted: the identification and the
    // installed version as the window shows it, in the phase that asked (Identify or
    // ReadBack).
    virtual void versionRead(Phase phase, const QString &device, const QString &installed) {
        Q_UNUSED(phase);
        Q_UNUSED(device);
        Q_UNUSED(installed);
    }

    void ResetStatusPanels() {
        setPanelText(1, texts::IdleStatus);
        for (int panel = 2; panel <= 4; ++panel)
            setPanelText(panel, QString());
    }
};
