// The window's interface on a console: answers the replacement question from the command
// line or the terminal, and shows progress and messages as a redrawn line, plain lines or
// JSON events.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <cstdio>
#include <optional>
#include <vector>

#include "options.h"
#include "outcome.h"
#include "plan.h"
#include "view.h"

class QEventLoop;
class QJsonObject;

namespace cli {

class ConsoleView : public View {
public:
    enum class Style { Terminal, Lines, Json };

    struct Setup {
        Style style = Style::Lines;
        bool quiet = false;
        Replace replace = Replace::Ask;
        bool remote = false;
        bool stdinTerminal = false;  // the question can be asked
        std::vector<PhaseLoad> plan; // what the phases carry, for the time left
        QString port;                // as given: "COM5" or a path
        QString device;              // where it leads
        QString baud;
        QString version; // the version this program installs, four digits
    };

    explicit ConsoleView(const Setup &setup);

    // Ends a question that is waiting for the terminal, as a "no".
    void interrupt();
    // The last words of an update: the outcome, as text or a JSON event.
    void report(const UpdateOutcome &outcome, int status, const char *name);

    float progressValue() const override { return m_value; }
    float progressMax() const override { return m_max; }
    void setProgressValue(float value) override { m_value = value; }
    void setProgressMax(float max) override { m_max = max; }
    QString panelText(int panel) const override;
    void setPanelText(int panel, const QString &text) override;
    void setExitCaption(const QString &) override {}
    void setMessageLine(const QString &text) override;
    void setControlEnabled(Control, bool) override {}
    bool remoteChecked() const override { return m_setup.remote; }
    Answer messageBox(const QString &text, const QString &title, Icon icon, Buttons buttons,
                      Answer defaultButton) override;
    void showSuccess() override {}
    void unloadSuccess() override {}
    void unloadMainWindow() override {}
    void portOpened() override;
    void phaseBegun(Phase phase, int frames) override;
    void framesDone(Phase phase, int done, int frames) override;
    void versionRead(Phase phase, const QString &device, const QString &installed) override;

private:
    void showProgress(bool force);
    bool askTerminal(const QString &question);
    QString noReplyHint(bool lineLost) const;
    void event(const char *name, QJsonObject fields);
    void line(const QString &text, FILE *stream = stdout);
    void endRedrawnLine();
    QString clock(qint64 ms) const;

    Setup m_setup;
    float m_value = 0.0f;
    float m_max = 100.0f;
    QString m_panels[5];
    std::optional<Phase> m_phase; // none before the first phase
    int m_done = 0;               // frames of the phase that went through
    int m_frames = 0;             // frames in the phase
    TimeLeft m_timeLeft;
    QElapsedTimer m_clock; // since the update began
    // Where the pace is measured from: the erase's start, after any question was answered.
    std::optional<TimeLeft::Position> m_countedFrom;
    qint64 m_countedFromMs = -1;
    qint64 m_lastShown = -1;
    int m_lastPercent = -1;
    bool m_lineOpen = false; // a redrawn progress line is on the terminal
    bool m_interrupted = false;
    QEventLoop *m_question = nullptr; // the loop waiting for the terminal's answer
    QString m_versionAfter;           // the version read back after programming
    QString m_message;                // the first message shown, the one that goes with the outcome
};

} // namespace cli
