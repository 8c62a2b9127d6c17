// The update procedure behind Program, the cancel behind Exit, and the port check.
#pragma once

#include "commport.h"
#include "formstate.h"
#include "view.h"

class Link;

// What the user is told when the selected port exists but will not open: the reason, and
// for a refused permission on Linux, how to get access.
QString openFailureText(const CommPort::Error &error);

class Updater {
public:
    Updater(FormState &state, View &view, CommPort &port, Link &link);

    void cmdProgram_Click();
    // Exit while idle, cancel while updating. `quiet` is for the window being closed: the
    // cancel leaves its message out, and while idle nothing happens (the window is already
    // on its way out).
    void cmdExit_Click(bool quiet = false);
    bool CheckComPort(qint16 port);
    // True while cmdProgram_Click is on the stack: the window must not be destroyed, and
    // no second update may start inside the first one's unwinding.
    bool running() const { return m_depth > 0; }

private:
    void phaseEnded(View::Phase phase);
    void setUpPort(const QString &lineSettings);
    // Opens the selected port; false after ending the update with the reason it would not.
    bool openPort();
    // Sets the line's speed for the next step; false after ending the update when the line
    // could not take it.
    bool changeSpeed(const QString &lineSettings);
    // Ends the update on a port number that no device has.
    void portMissing();
    void portFailed(const QString &message, Outcome outcome);

    FormState &m_st;
    View &m_view;
    CommPort &m_port;
    Link &m_link;
    int m_depth = 0;
};
