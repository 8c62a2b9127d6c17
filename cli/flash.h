// One update from the command line: the window's procedure with a console for its view,
// Ctrl-C and SIGTERM as its cancel, and the outcome as the exit status.
#pragma once

#include "options.h"

namespace cli {

int runUpdate(const Options &options);

} // namespace cli
