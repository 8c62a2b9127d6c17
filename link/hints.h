// What to check after an update found no reply, worded for the front end that shows it: the
// command line names its options, the window its controls.
#pragma once

#include <QString>

namespace hints {

struct NoReply {
    QString where;         // the port as the user chose it, with its device where it differs
    QString baud;          // the speed the update ran at
    bool remote = false;   // the update began by starting the bootloader from the firmware
    bool lineLost = false; // the line went away during the update: no silence, a drop
    QString remoteAdvice;  // how to start the bootloader first: "add --remote"
    QString baudSetting;   // where the speed is chosen, appended in brackets; may be empty
};

// No reply is how the commonest mistakes show: the meter not in its bootloader, the wrong
// speed, and a second update after the new firmware started.
QString noReply(const NoReply &what);

} // namespace hints
