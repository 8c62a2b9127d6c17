// zarvo-flash's output for a person: on a terminal one progress line redrawn in place, else
// plain lines; messages and the outcome on standard error. What it prints as progress is
// written here alone.
#pragma once

#include <cstdio>

#include "consoleview.h"

namespace cli {

class TextReporter : public ConsoleView {
public:
    // Style::Terminal redraws its progress line; any other style prints lines.
    explicit TextReporter(const Setup &setup) : ConsoleView(setup) {}

    void conclude(const UpdateOutcome &outcome, int status, const char *name) override;

protected:
    void opened(const QString &rawNote) override;
    void notice(const QString &text) override;
    void phaseStarted(const char *, int) override {}
    bool progress(const Progress &at) override;
    void identified(const QString &device, const QString &installed) override;
    void message(const QString &text) override;
    void answered(const QString &question, bool yes, const QString &by) override;
    void cannotAsk(const QString &question) override;
    void beforeAsking() override { endRedrawnLine(); }

private:
    QString noReplyHint(bool lineLost) const;
    void line(const QString &text, FILE *stream = stdout);
    void endRedrawnLine();

    bool m_lineOpen = false; // a redrawn progress line is on the terminal
};

} // namespace cli
