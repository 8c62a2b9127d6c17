#include "consoleview.h"

#include "hints.h"
#include "portaddress.h"
#include "terminal.h"
#include "texts.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>

namespace cli {

namespace {

// Progress events and redraws are rationed; a program reading --json wants a few a second.
constexpr qint64 kRedrawMs = 100;
constexpr qint64 kJsonProgressMs = 250;
constexpr int kLinesStep = 10; // plain lines report every tenth of a phase

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

QString ConsoleView::panelText(int panel) const {
    return panel >= 1 && panel <= 4 ? m_panels[panel] : QString();
}

void ConsoleView::setPanelText(int panel, const QString &text) {
    // Kept for the procedure, which reads back what it wrote; never read here.
    if (panel >= 1 && panel <= 4)
        m_panels[panel] = text;
}

void ConsoleView::phaseBegun(Phase phase, int frames) {
    m_phase = phase;
    m_done = 0;
    m_frames = frames;
    m_lastPercent = -1;
    if (phase == Phase::Erase && !m_countedFrom) {
        m_countedFrom = TimeLeft::Position{phase, 0};
        m_countedFromMs = m_clock.elapsed();
    }
    if (m_setup.style == Style::Json)
        event("phase", {{QStringLiteral("name"), QString::fromLatin1(nameOf(phase).name)},
                        {QStringLiteral("frames"), frames}});
    showProgress(true);
}

void ConsoleView::framesDone(Phase phase, int done, int frames) {
    if (phase != m_phase)
        return;
    m_done = done;
    m_frames = frames;
    showProgress(false);
}

void ConsoleView::showProgress(bool force) {
    if (!m_phase || m_setup.quiet)
        return;
    const qint64 now = m_clock.elapsed();
    const PhaseName &phase = nameOf(*m_phase);
    int percent = -1;
    QString left;
    double secondsLeft = -1;
    if (counted(m_frames)) {
        percent = m_done * 100 / m_frames;
        if (m_countedFrom) {
            const TimeLeft::Position here{*m_phase, m_done};
            secondsLeft =
                m_timeLeft.secondsLeft(*m_countedFrom, here, (now - m_countedFromMs) / 1000.0);
            left = clock(qint64(secondsLeft * 1000));
        }
    }
    const bool complete = percent == 100 && m_lastPercent != 100;

    switch (m_setup.style) {
    case Style::Json: {
        if (percent < 0 || (!force && !complete && now - m_lastShown < kJsonProgressMs))
            return;
        QJsonObject fields{{QStringLiteral("phase"), QString::fromLatin1(phase.name)},
                           {QStringLiteral("done"), m_done},
                           {QStringLiteral("frames"), m_frames},
                           {QStringLiteral("percent"), percent},
                           {QStringLiteral("elapsed"), now / 1000.0}};
        if (secondsLeft >= 0)
            fields.insert(QStringLiteral("left"), std::round(secondsLeft * 10) / 10);
        event("progress", fields);
        break;
    }
    case Style::Lines:
        if (!force && !complete && percent / kLinesStep == m_lastPercent / kLinesStep)
            return;
        [[fallthrough]];
    case Style::Terminal: {
        if (m_setup.style == Style::Terminal && !force && !complete &&
            now - m_lastShown < kRedrawMs)
            return;
        QString text = QString::fromLatin1(phase.label);
        if (percent >= 0)
            text += QStringLiteral(" %1%").arg(percent, 3);
        text += QStringLiteral("  %1 elapsed").arg(clock(now));
        if (!left.isEmpty())
            text += QStringLiteral(", %1 left").arg(left);
        if (m_setup.style == Style::Terminal) {
            std::fprintf(stdout, "\r%s\033[K", qPrintable(text));
            std::fflush(stdout);
            m_lineOpen = true;
        } else {
            line(text);
        }
        break;
    }
    }
    m_lastShown = now;
    m_lastPercent = percent;
}

void ConsoleView::setMessageLine(const QString &text) {
    if (!text.isEmpty() && m_setup.style != Style::Json && !m_setup.quiet)
        line(text);
}

View::Answer ConsoleView::messageBox(const QString &text, const QString &, Icon, Buttons buttons,
                                     Answer) {
    if (buttons == Buttons::Ok) {
        if (m_message.isEmpty())
            m_message = text;
        if (m_setup.style != Style::Json)
            line(text, stderr);
        return Answer::Ok;
    }

    // The replacement question: the command line answers it, else the terminal, else no.
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
            if (m_setup.style != Style::Json)
                line(text + QStringLiteral(" No: standard input is not a terminal to ask on "
                                           "(--yes replaces, --keep-newer keeps)."),
                     stderr);
        }
    }
    if (m_setup.style == Style::Json) {
        event("question", {{QStringLiteral("text"), text},
                           {QStringLiteral("answer"), yes ? "yes" : "no"},
                           {QStringLiteral("by"), by}});
    } else if (by.startsWith(QLatin1String("--")) && !m_setup.quiet) {
        line(text + (yes ? QStringLiteral(" Yes (") : QStringLiteral(" No (")) + by +
             QLatin1Char(')'));
    }
    return yes ? Answer::Yes : Answer::No;
}

bool ConsoleView::askTerminal(const QString &question) {
    endRedrawnLine();
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
    if (m_setup.style == Style::Json) {
        QJsonObject fields{{QStringLiteral("port"), m_setup.port},
                           {QStringLiteral("device"), m_setup.device},
                           {QStringLiteral("baud"), m_setup.baud.toInt()},
                           {QStringLiteral("remote"), m_setup.remote}};
        if (!rawNote.isEmpty())
            fields.insert(QStringLiteral("note"), rawNote);
        event("open", fields);
    } else if (!m_setup.quiet) {
        line(QStringLiteral("%1 (%2) open at %3 baud%4")
                 .arg(m_setup.port, m_setup.device, m_setup.baud,
                      m_setup.remote ? QStringLiteral(", starting the bootloader first")
                                     : QString()));
        if (!rawNote.isEmpty())
            line(QStringLiteral("note: ") + rawNote);
    }
}

void ConsoleView::versionRead(Phase phase, const QString &device, const QString &installed) {
    if (phase == Phase::ReadBack) {
        m_versionAfter = installed;
        return;
    }
    const bool blank = installed == texts::NoFirmwareVersion;
    if (m_setup.style == Style::Json) {
        event("identified",
              {{QStringLiteral("device"), device},
               {QStringLiteral("installed"), blank ? QStringLiteral("none") : installed},
               {QStringLiteral("new"), m_setup.version}});
    } else if (!m_setup.quiet) {
        line(blank ? QStringLiteral("Instrument %1, no firmware installed, %2 to install")
                         .arg(device, m_setup.version)
                   : QStringLiteral("Instrument %1, firmware %2 installed, %3 to install")
                         .arg(device, installed, m_setup.version));
    }
}

void ConsoleView::report(const UpdateOutcome &outcome, int status, const char *name) {
    endRedrawnLine();
    const double elapsed = m_clock.elapsed() / 1000.0;
    if (m_setup.style == Style::Json) {
        QJsonObject fields{{QStringLiteral("outcome"), QString::fromLatin1(name)},
                           {QStringLiteral("status"), status},
                           {QStringLiteral("port"), m_setup.port},
                           {QStringLiteral("elapsed"), elapsed}};
        if (!m_message.isEmpty())
            fields.insert(QStringLiteral("message"), m_message);
        if (!outcome.detail.isEmpty())
            fields.insert(QStringLiteral("detail"), outcome.detail);
        if (!m_versionAfter.isEmpty())
            fields.insert(QStringLiteral("version"), m_versionAfter);
        event("result", fields);
        return;
    }
    // The message already carries the port's reason where the window shows it.
    if (!outcome.detail.isEmpty() && !m_message.contains(outcome.detail))
        line(outcome.detail, stderr);
    if (outcome.value == Outcome::CommError)
        line(noReplyHint(outcome.lineLost), stderr);
    if (outcome.value == Outcome::Done) {
        if (!m_setup.quiet)
            line(QStringLiteral("Update finished in %1: the instrument reports %2 and restarts "
                                "within 30 seconds.")
                     .arg(clock(m_clock.elapsed()), m_versionAfter));
    } else if (outcome.value == Outcome::Declined && !m_setup.quiet) {
        line(QStringLiteral("Firmware left as it was (exit status %1, %2).")
                 .arg(status)
                 .arg(QString::fromLatin1(name)));
    } else if (outcome.value != Outcome::Declined) {
        line(QStringLiteral("zarvo-flash: update failed (exit status %1, %2)")
                 .arg(status)
                 .arg(QString::fromLatin1(name)),
             stderr);
    }
}

QString ConsoleView::noReplyHint(bool lineLost) const {
    const QString where = m_setup.device.isEmpty() || m_setup.device == m_setup.port
                              ? m_setup.port
                              : QStringLiteral("%1 (%2)").arg(m_setup.port, m_setup.device);
    return hints::noReply({.where = where,
                           .baud = m_setup.baud,
                           .remote = m_setup.remote,
                           .lineLost = lineLost,
                           .remoteAdvice = QStringLiteral("add --remote"),
                           .baudSetting = QStringLiteral("--baud")});
}

void ConsoleView::event(const char *name, QJsonObject fields) {
    fields.insert(QStringLiteral("event"), QString::fromLatin1(name));
    const QByteArray text = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void ConsoleView::line(const QString &text, FILE *stream) {
    endRedrawnLine();
    std::fprintf(stream, "%s\n", qPrintable(text));
    std::fflush(stream);
}

void ConsoleView::endRedrawnLine() {
    if (!m_lineOpen)
        return;
    m_lineOpen = false;
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString ConsoleView::clock(qint64 ms) const {
    const qint64 seconds = (ms + 500) / 1000;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace cli
