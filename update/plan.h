// What each phase of an update carries over the line, and the time left reckoned from it:
// the bytes still to come at the line's speed, plus the instrument's own time per frame as
// the update has shown it so far.
#pragma once

#include <QtGlobal>
#include <vector>

#include "line.h" // kBitsPerByte
#include "view.h"

struct PhaseLoad {
    View::Phase phase;
    int frames;
    qint64 bytes; // both ways: the frames out and the replies to them
};

// The phases of a whole update in the order they run; the start request only for a remote
// start.
std::vector<PhaseLoad> updatePlan(bool remote);

class TimeLeft {
public:
    // Where an update stands: `done` frames of the phase have gone through.
    struct Position {
        View::Phase phase;
        int done;
    };

    TimeLeft(std::vector<PhaseLoad> plan, int baud);

    // Bytes of the plan before the position, and of the whole plan.
    double bytesBefore(Position at) const;
    double totalBytes() const;
    // What the line itself needs for the whole update.
    double lineSeconds() const { return totalBytes() * serial::kBitsPerByte / m_baud; }

    // Seconds still to go at `now`, given that the update took `elapsed` seconds from
    // `from` to `now`. The line time of the bytes still to come, scaled down where the line
    // has been faster than its nominal speed (a pseudo-terminal), and the time per frame
    // beyond the line's (the instrument's processing, the turnaround) for each frame still
    // to come.
    double secondsLeft(Position from, Position now, double elapsed) const;

private:
    double framesBefore(Position at) const;
    double totalFrames() const;

    std::vector<PhaseLoad> m_plan;
    double m_baud;
};
