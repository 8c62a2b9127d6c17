#include "textreporter.h"

#include "hints.h"

namespace cli {

namespace {

constexpr qint64 kRedrawMs = 100; // redraws are rationed
constexpr int kLinesStep = 10;    // plain lines report every tenth of a phase

} // namespace

bool TextReporter::progress(const Progress &at) {
    const bool redraw = setup().style == Style::Terminal;
    const bool due = at.began || at.completed;
    if (!redraw && !due && at.percent / kLinesStep == at.lastPercent / kLinesStep)
        return false;
    if (redraw && !due && at.elapsedMs - at.lastShownMs < kRedrawMs)
        return false;
    QString text = QString::fromLatin1(at.label);
    if (at.percent >= 0)
        text += QStringLiteral(" %1%").arg(at.percent, 3);
    text += QStringLiteral("  %1 elapsed").arg(clock(at.elapsedMs));
    if (at.paced)
        text += QStringLiteral(", %1 left").arg(clock(qint64(at.secondsLeft * 1000)));
    if (redraw) {
        std::fprintf(stdout, "\r%s\033[K", qPrintable(text));
        std::fflush(stdout);
        m_lineOpen = true;
    } else {
        line(text);
    }
    return true;
}

void TextReporter::opened(const QString &rawNote) {
    if (setup().quiet)
        return;
    line(QStringLiteral("%1 (%2) open at %3 baud%4")
             .arg(setup().port, setup().device, setup().baud,
                  setup().remote ? QStringLiteral(", starting the bootloader first") : QString()));
    if (!rawNote.isEmpty())
        line(QStringLiteral("note: ") + rawNote);
}

void TextReporter::notice(const QString &text) {
    if (!setup().quiet)
        line(text);
}

void TextReporter::identified(const QString &device, const QString &installed) {
    if (setup().quiet)
        return;
    line(installed.isEmpty() ? QStringLiteral("Instrument %1, no firmware installed, %2 to install")
                                   .arg(device, setup().version)
                             : QStringLiteral("Instrument %1, firmware %2 installed, %3 to install")
                                   .arg(device, installed, setup().version));
}

void TextReporter::message(const QString &text) {
    line(text, stderr);
}

void TextReporter::cannotAsk(const QString &question) {
    line(question + QStringLiteral(" No: standard input is not a terminal to ask on "
                                   "(--yes replaces, --keep-newer keeps)."),
         stderr);
}

void TextReporter::answered(const QString &question, bool yes, const QString &by) {
    // Only an answer the command line gave: the terminal's the user has just typed.
    if (by.startsWith(QLatin1String("--")) && !setup().quiet)
        line(question + (yes ? QStringLiteral(" Yes (") : QStringLiteral(" No (")) + by +
             QLatin1Char(')'));
}

void TextReporter::conclude(const UpdateOutcome &outcome, int status, const char *name) {
    endRedrawnLine();
    // The message already carries the port's reason where the window shows it.
    if (!outcome.detail.isEmpty() && !firstMessage().contains(outcome.detail))
        line(outcome.detail, stderr);
    if (outcome.value == Outcome::CommError)
        line(noReplyHint(outcome.lineLost), stderr);
    if (outcome.value == Outcome::Done) {
        if (!setup().quiet)
            line(QStringLiteral("Update finished in %1: the instrument reports %2 and restarts "
                                "within 30 seconds.")
                     .arg(clock(elapsedMs()), versionAfter()));
    } else if (outcome.value == Outcome::Declined && !setup().quiet) {
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

QString TextReporter::noReplyHint(bool lineLost) const {
    const Setup &s = setup();
    const QString where = s.device.isEmpty() || s.device == s.port
                              ? s.port
                              : QStringLiteral("%1 (%2)").arg(s.port, s.device);
    return hints::noReply({.where = where,
                           .baud = s.baud,
                           .remote = s.remote,
                           .lineLost = lineLost,
                           .remoteAdvice = QStringLiteral("add --remote"),
                           .baudSetting = QStringLiteral("--baud")});
}

void TextReporter::line(const QString &text, FILE *stream) {
    endRedrawnLine();
    std::fprintf(stream, "%s\n", qPrintable(text));
    std::fflush(stream);
}

void TextReporter::endRedrawnLine() {
    if (!m_lineOpen)
        return;
    m_lineOpen = false;
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace cli
