// The update procedure behind Program, the cancel behind Exit, and the port check.
#pragma once

#include "formstate.h"
#include "view.h"

class CommPort;
class Link;

class Updater {
public:
    Updater(FormState &state, View &view, CommPort &port, Link &link);

    void cmdProgram_Click();
    // Exit while idle, cancel while updating. `quiet` leaves the cancel's message out
    // (used when the window is being closed).
    void cmdExit_Click(bool quiet = false);
    bool CheckComPort(qint16 port);
    // True while cmdProgram_Click is on the stack: the window must not be destroyed.
    bool running() const { return m_depth > 0; }

private:
    FormState &m_st;
    View &m_view;
    CommPort &m_port;
    Link &m_link;
    int m_depth = 0;
};
