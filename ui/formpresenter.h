// The update's reports turned into the main window's controls: the progress bar with its
// frame counts, the four status panels, the message line, the locked controls and the
// message boxes. Plain, so that the update's tests read the window's texts without widgets.
#pragma once

#include "form.h"
#include "formstate.h"
#include "view.h"

// Texts of the window alone.
namespace texts {
inline const QString ExitCaption = QStringLiteral("Exit (ESC)");
inline const QString CancelCaption = QStringLiteral("Cancel (ESC)");
inline const QString ProgramCaption = QStringLiteral("Program (F4)");
inline const QString IdleStatus = QStringLiteral("For Help press F1");
} // namespace texts

class FormPresenter : public View {
public:
    // `state` gives the box titles and what the no-reply hint names.
    FormPresenter(Form &form, const FormState &state);

    // An empty bar and the panels at their idle texts: at start-up and after every new
    // choice of port, speed or remote start, so that no trace of the last update stays.
    void clearDisplay();
    void ResetStatusPanels();

    bool remoteStart() const override;
    bool askReplace(const QString &installed, const QString &replacement) override;
    void locked(bool on) override;
    void phaseBegun(Phase phase, int frames) override;
    void frameSending(Phase phase, int number) override;
    void framesDone(Phase phase, int done, int frames) override;
    void phaseEnded(Phase phase) override;
    void bootloaderReady() override;
    void versionRead(Phase phase, const QString &device, const QString &installed,
                     bool running) override;
    void report(Outcome kind, const QString &message, const QString &resultBytes) override;
    void stopped(Outcome kind) override;
    void quit() override;

private:
    // The bar at frame `number` of `max`, and panel 1 the text and its whole percentage.
    void progressStep(int number, float max, const QString &text);
    void tell(const QString &message, Form::Icon icon, const QString &informative = {});

    Form &m_form;
    const FormState &m_st;
    float m_max = 100.0f; // the bar's maximum since the last sequence began
    QString m_indicators; // panel 2: the letters of the phases that have run
};
