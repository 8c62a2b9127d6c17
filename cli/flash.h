// One update from the command line: the window's procedure with a console for its view,
// Ctrl-C, SIGTERM and SIGHUP as its cancel, and the outcome as the exit status (or, after a
// cancel by a signal, the end by that signal).
#pragma once

#include "options.h"

namespace cli {

int runUpdate(const Options &options);

} // namespace cli
