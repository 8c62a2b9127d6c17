// Everything the main window owns that is not a widget: the form state, the serial port
// control and the procedures that use them. The window constructs one and implements View.
#pragma once

#include "commport.h"
#include "formstate.h"
#include "link.h"
#include "updater.h"

struct Engine {
    explicit Engine(View &view) : link(state, view, MSComm1), updater(state, view, MSComm1, link) {}

    FormState state;
    CommPort MSComm1;
    Link link;
    Updater updater;
};
