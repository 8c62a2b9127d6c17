// The virtual instrument's command line: what it is told to be and do.
#pragma once

#include <chrono>
#include <string>

#include "appinfo.h"
#include "bootloader.h"

namespace sim {

using std::chrono::microseconds;

struct WorkTimes {
    microseconds erase{2000};
    microseconds write{2000};
    microseconds blankCheck{15000};
    microseconds verify{25000};
    microseconds defaults{20000};

    microseconds of(Work w) const {
        switch (w) {
        case Work::Erase:
            return erase;
        case Work::Write:
            return write;
        case Work::BlankCheck:
            return blankCheck;
        case Work::Verify:
            return verify;
        case Work::Defaults:
            return defaults;
        case Work::None:
            break;
        }
        return microseconds{0};
    }
};

struct Options {
    int com = 0;
    std::string device;
    int baud = appinfo::kDefaultBaudRate;
    bool lineTiming = false;
    WorkTimes times;
    Unit::Mode mode = Unit::Mode::Bootloader;
    Identity identity;
    Faults faults;
    std::string transcript;
    std::string dump;
    std::string summary;
    bool exitAfterFinish = false;
    bool exitOnClose = false;
    bool verbose = false;
};

// The options, or an exit with a message naming the one that is wrong (status 2), or the
// help text (status 0).
Options parseOptions(int argc, char **argv);

} // namespace sim
