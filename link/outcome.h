// How an update ended, as a value: set by the link and the update procedure where each
// failure happens, so that a front end can report it without reading message texts.
#pragma once

#include <QString>

enum class Outcome {
    None, // no update has ended yet
    Done,
    Declined,         // the installed version was kept
    PortMissing,      // no device has the selected number
    PortInUse,        // another program holds the port
    NoPermission,     // this user may not open the port
    PortUnusable,     // the port exists but would not open for another reason
    NotBootloader,    // the reply did not start as a bootloader's does
    CommError,        // no reply, the line went away, or a frame could not be written
    ForeignDevice,    // an instrument other than the one the image is for
    BlankCheckFailed, // the erased area did not read back blank
    VerifyFailed,     // the written image did not read back as sent
    Cancelled,
};

// The first outcome of an update is the one that counts: what a failure sets off (a
// cancel's unwinding, the checks after it) must not overwrite it.
struct UpdateOutcome {
    Outcome value = Outcome::None;
    QString detail;        // what the front end can add to the message: the port's reason, bytes
    bool lineLost = false; // CommError because the line went away, not because it stayed silent

    friend bool operator==(const UpdateOutcome &, const UpdateOutcome &) = default;

    void settle(Outcome outcome, const QString &why = {}, bool lost = false) {
        if (value != Outcome::None)
            return;
        value = outcome;
        detail = why;
        lineLost = lost;
    }
};
