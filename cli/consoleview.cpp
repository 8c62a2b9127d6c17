#include "consoleview.h"

#include "portaddress.h"
#include "terminal.h"
#include "texts.h"

#include <QEventLoop>
#include <cstdio>

namespace cli {

namespace {

// How each phase is named: in --json, and to a person; one row per View::Phase.
struct PhaseName {
    View::Phase phase;
    const char *name;
    const char *label;
};
constexpr PhaseName kPhaseNames[] = {
    {View::Phase::StartBootloader, "start-bootloader", "Start request"},
    {View::Phase::Identify, "identify", "Identification"},
    {View::Phase::Erase, "erase", "Erase"},
    {View::Phase::BlankCheck, "blank-check", "Blank check"},
    {View::Phase::Program, "program", "Program"},
    {View::Phase::Verify, "verify", "Verify"},
    {View::Phase::ResetDefaults, "reset-defaults", "Reset to defaults"},
    {View::Phase::ReadBack, "read-back", "Version read-back"},
    {View::Phase::Finish, "finish", "Start of the new firmware"},
};

const PhaseName &nameOf(View::Phase phase) {
    for (const PhaseName &entry : kPhaseNames)
        if (entry.phase == phase)
            return entry;
    return kPhaseNames[0];
}

// Phases of more than one frame show their progress; the others only that they began.
bool counted(int frames) {
    return frames > 1;
}

} // namespace

ConsoleView::ConsoleView(const Setup &setup)
    : m_setup(setup), m_timeLeft(setup.plan, setup.baud.toInt()) {
    m_clock.start();
}

void ConsoleView::locked(bool on) {
    if (on)
        m_stopped = false;
}

void ConsoleView::phaseBegun(Phase phase, int frames) {
    if (phase == Phase::StartBootloader)
        notice(texts::StartingBootloader);
    else if (phase == Phase::Erase)
        notice(texts::Updating);
    if (m_stopped)
        return;
    m_phase = phase;
    m_done = 0;
    m_frames = frames;
    m_lastPercent = -1;
    if (phase == Phase::Erase && !m_countedFrom) {
        m_countedFrom = TimeLeft::Position{phase, 0};
        m_countedFromMs = m_clock.elapsed();
    }
    phaseStarted(nameOf(phase).name, frames);
    showProgress(true);
}

void ConsoleView::framesDone(Phase phase, int done, int frames) {
    if (phase != m_phase)
        return;
    m_done = done;
    m_frames = frames;
    showProgress(false);
}

void ConsoleView::showProgress(bool began) {
    if (!m_phase || m_setup.quiet)
        return;
    const PhaseName &phase = nameOf(*m_phase);
    Progress at{.phase = *m_phase,
                .name = phase.name,
                .label = phase.label,
                .done = m_done,
                .frames = m_frames,
                .elapsedMs = m_clock.elapsed(),
                .began = began,
                .lastShownMs = m_lastShown,
                .lastPercent = m_lastPercent};
    if (counted(m_frames)) {
        at.percent = m_done * 100 / m_frames;
        if (m_countedFrom) {
            const TimeLeft::Position here{*m_phase, m_done};
            at.paced = true;
            at.secondsLeft = m_timeLeft.secondsLeft(*m_countedFrom, here,
                                                    (at.elapsedMs - m_countedFromMs) / 1000.0);
        }
    }
    at.completed = at.percent == 100 && m_lastPercent != 100;
    if (!progress(at))
        return;
    m_lastShown = at.elapsedMs;
    m_lastPercent = at.percent;
}

void ConsoleView::report(Outcome, const QString &text, const QString &) {
    if (text.isEmpty())
        return;
    if (m_message.isEmpty())
        m_message = text;
    message(text);
}

bool ConsoleView::askReplace(const QString &installed, const QString &replacement) {
    const QString text = texts::replaceQuestion(installed, replacement);
    // The command line answers it, else the terminal, else no.
    bool yes = m_setup.replace == Replace::Yes;
    QString by = QStringLiteral("--yes");
    if (m_setup.replace == Replace::No) {
        by = QStringLiteral("--keep-newer");
    } else if (m_setup.replace == Replace::Ask) {
        if (m_setup.stdinTerminal) {
            by = QStringLiteral("terminal");
            yes = askTerminal(text);
        } else {
            by = QStringLiteral("no terminal");
            cannotAsk(text);
        }
    }
    answered(text, yes, by);
    return yes;
}

bool ConsoleView::askTerminal(const QString &question) {
    beforeAsking();
    std::fprintf(stderr, "%s [y/N] ", qPrintable(question));
    std::fflush(stderr);
    // A local loop rather than a blocking read, so that Ctrl-C still reaches the cancel.
    QByteArray answer;
    QEventLoop loop;
    bool ended = false;
    TerminalInput input([&](const QByteArray &chunk) {
        answer.append(chunk);
        if (chunk.isEmpty() || answer.contains('\n')) {
            ended = true;
            loop.quit();
        }
    });
    m_interrupted = false;
    m_question = &loop;
    if (!ended)
        loop.exec();
    m_question = nullptr;
    if (m_interrupted) {
        std::fputc('\n', stderr);
        return false;
    }
    const QByteArray first = answer.left(answer.indexOf('\n')).trimmed().toLower();
    return first == "y" || first == "yes";
}

void ConsoleView::interrupt() {
    m_interrupted = true;
    if (m_question)
        m_question->quit();
}

void ConsoleView::portOpened() {
    // Raw TCP cannot carry a speed: said once, where the run is described.
    const QString rawNote = !serial::parsePortAddress(m_setup.device).carriesSettings()
                                ? QStringLiteral("raw TCP carries no speed setting: the far line "
                                                 "stays at the speed its server set")
                                : QString();
    opened(rawNote);
}

void ConsoleView::versionRead(Phase phase, const QString &device, const QString &installed,
                              bool running) {
    if (!running)
        return;
    if (phase == Phase::ReadBack) {
        m_versionAfter = installed.isEmpty() ? texts::NoFirmwareVersion : installed;
        return;
    }
    identified(device, installed);
}

QString ConsoleView::clock(qint64 ms) {
    const qint64 seconds = (ms + 500) / 1000;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace cli
