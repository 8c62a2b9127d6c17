// The window's interface on a console, as both of zarvo-flash's reporters share it: answers
// the replacement question from the command line or the terminal, and reckons progress and
// the time left; the text reporter and the JSON reporter say it each in their own way.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <optional>
#include <vector>

#include "options.h"
#include "outcome.h"
#include "plan.h"
#include "view.h"

class QEventLoop;

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

    // Ends a question that is waiting for the terminal, as a "no".
    void interrupt();
    // The last words of an update: the outcome, with its exit status and name.
    virtual void conclude(const UpdateOutcome &outcome, int status, const char *name) = 0;

    bool remoteStart() const override { return m_setup.remote; }
    bool askReplace(const QString &installed, const QString &replacement) override;
    void locked(bool on) override;
    void portOpened() override;
    void phaseBegun(Phase phase, int frames) override;
    void framesDone(Phase phase, int done, int frames) override;
    void versionRead(Phase phase, const QString &device, const QString &installed,
                     bool running) override;
    void report(Outcome kind, const QString &message, const QString &resultBytes) override;
    void stopped(Outcome) override { m_stopped = true; }

protected:
    // Where the running phase stands, for a reporter to show or leave out.
    struct Progress {
        Phase phase;
        const char *name;  // as --json names it
        const char *label; // as a person reads it
        int done = 0;
        int frames = 0;
        int percent = -1;        // none for a phase of one frame
        qint64 elapsedMs = 0;    // since the update began
        bool paced = false;      // the time left can be reckoned
        double secondsLeft = -1; // when paced
        bool began = false;      // the phase has just begun
        bool completed = false;  // it has just reached 100%
        qint64 lastShownMs = -1; // when progress was last shown
        int lastPercent = -1;    // and at what percentage
    };

    explicit ConsoleView(const Setup &setup);

    // Each returns having shown what the reporter shows of it.
    virtual void opened(const QString &rawNote) = 0;
    // A phase begins that the window's message line announces.
    virtual void notice(const QString &text) = 0;
    // `name` as --json names the phase.
    virtual void phaseStarted(const char *name, int frames) = 0;
    // True when it was shown: the next is then measured from this one.
    virtual bool progress(const Progress &at) = 0;
    virtual void identified(const QString &device, const QString &installed) = 0;
    virtual void message(const QString &text) = 0;
    virtual void answered(const QString &question, bool yes, const QString &by) = 0;
    virtual void cannotAsk(const QString &question) = 0;
    // Before the question goes to the terminal.
    virtual void beforeAsking() {}

    const Setup &setup() const { return m_setup; }
    qint64 elapsedMs() const { return m_clock.elapsed(); }
    const QString &firstMessage() const { return m_message; }
    const QString &versionAfter() const { return m_versionAfter; }
    static QString clock(qint64 ms);

private:
    void showProgress(bool began);
    bool askTerminal(const QString &question);

    Setup m_setup;
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
    bool m_stopped = false; // the phases told from now on send nothing
    bool m_interrupted = false;
    QEventLoop *m_question = nullptr; // the loop waiting for the terminal's answer
    QString m_versionAfter;           // the version read back after programming
    QString m_message;                // the first message shown, the one that goes with the outcome
};

} // namespace cli
