// zarvo-flash's exit statuses: one per way an update can end, plus usage and other errors.
// The manual page and --help list the same table.
#pragma once

#include <QString>

#include "outcome.h"

namespace cli {

inline constexpr int kStatusError = 1; // a port list, map or unmap that could not be done
inline constexpr int kStatusUsage = 2; // bad arguments
// A cancel ends the process by the signal that asked for it; a shell then sees 128 plus the
// signal's number (130 for Ctrl-C), and --json's result gives the same. 13, which a cancel
// once returned, is not used any more.
inline constexpr int kStatusSignal = 128;

struct StatusRow {
    Outcome outcome;
    int status;
    const char *name; // as --json reports it
};

inline constexpr StatusRow kStatusTable[] = {
    {Outcome::Done, 0, "done"},
    {Outcome::Declined, 3, "declined"},
    {Outcome::PortMissing, 4, "port-missing"},
    {Outcome::PortInUse, 5, "port-in-use"},
    {Outcome::NoPermission, 6, "no-permission"},
    {Outcome::PortUnusable, 7, "port-unusable"},
    {Outcome::NotBootloader, 8, "not-in-bootloader-mode"},
    {Outcome::CommError, 9, "communication-error"},
    {Outcome::ForeignDevice, 10, "foreign-device"},
    {Outcome::BlankCheckFailed, 11, "blank-check-failed"},
    {Outcome::VerifyFailed, 12, "verify-failed"},
    {Outcome::Cancelled, kStatusSignal, "cancelled"}, // plus the signal's number
};

// An update that ended without an outcome is a fault of the tool, reported as an error.
inline const StatusRow &statusOf(Outcome outcome) {
    static constexpr StatusRow unknown{Outcome::None, kStatusError, "error"};
    for (const StatusRow &row : kStatusTable)
        if (row.outcome == outcome)
            return row;
    return unknown;
}

} // namespace cli
