// zarvo-flash's output for a program (--json): one JSON event a line on standard output,
// progress rationed to a few a second. What it sends as progress is written here alone.
#pragma once

#include "consoleview.h"

class QJsonObject;

namespace cli {

class JsonReporter : public ConsoleView {
public:
    explicit JsonReporter(const Setup &setup) : ConsoleView(setup) {}

    void conclude(const UpdateOutcome &outcome, int status, const char *name) override;

protected:
    void opened(const QString &rawNote) override;
    void notice(const QString &) override {}
    void phaseStarted(const char *name, int frames) override;
    bool progress(const Progress &at) override;
    void identified(const QString &device, const QString &installed) override;
    void message(const QString &) override {} // it goes with the result
    void answered(const QString &question, bool yes, const QString &by) override;
    void cannotAsk(const QString &) override {}

private:
    void event(const char *name, QJsonObject fields);
};

} // namespace cli
