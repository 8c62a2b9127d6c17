// What an update tells the front end that runs it, and asks of it, in the update's own terms:
// phases, frame counts, versions and outcomes as values. The window turns them into its
// progress bar, panels and message boxes; zarvo-flash into its lines or JSON events.
#pragma once

#include <QString>

#include "outcome.h"

class View {
public:
    // The phases of an update, in the order they run.
    enum class Phase {
        StartBootloader, // the remote start request
        Identify,        // the first ReadVersion: identification and installed version
        Erase,
        BlankCheck,
        Program,
        Verify,
        ResetDefaults,
        ReadBack, // the second ReadVersion: the version now installed
        Finish,   // FinishUpdate: the new firmware starts
    };

    virtual ~View() = default;

    // Whether this update starts the bootloader from the running firmware.
    virtual bool remoteStart() const = 0;
    // The installed version does not sort before the one this program carries: true to
    // replace it all the same.
    virtual bool askReplace(const QString &installed, const QString &replacement) = 0;

    // An update begins (true): its settings are locked and the last update's traces go.
    // Or it has run through to its end (false), whichever way it stopped.
    virtual void locked(bool on) = 0;
    virtual void portOpened() {}
    // A phase begins that has `frames` frames to send. Told also once the update has
    // stopped, as the procedure runs through its remaining steps without sending.
    virtual void phaseBegun(Phase phase, int frames) {
        Q_UNUSED(phase);
        Q_UNUSED(frames);
    }
    // A frame is about to go out: the `number`th of its kind since the update began (erase
    // and write frames; every other kind is 1). Only while the update runs.
    virtual void frameSending(Phase phase, int number) {
        Q_UNUSED(phase);
        Q_UNUSED(number);
    }
    // `done` frames of the phase's `frames` went through: sent, answered and accepted.
    virtual void framesDone(Phase phase, int done, int frames) {
        Q_UNUSED(phase);
        Q_UNUSED(done);
        Q_UNUSED(frames);
    }
    // Erase, BlankCheck, Program and Verify have run, whether or not they could send.
    virtual void phaseEnded(Phase phase) { Q_UNUSED(phase); }
    // The instrument echoed the remote start request.
    virtual void bootloaderReady() {}
    // A ReadVersion reply, in the phase that asked (Identify or ReadBack): the identification
    // and the installed version, "1012.07", empty for a unit without firmware. `running` is
    // false when the update had already stopped or the device was refused.
    virtual void versionRead(Phase phase, const QString &device, const QString &installed,
                             bool running) {
        Q_UNUSED(phase);
        Q_UNUSED(device);
        Q_UNUSED(installed);
        Q_UNUSED(running);
    }

    // What the user is told, as it happens: a failure or refusal with its message (none for
    // a declined replacement), a failed check with its result bytes ("3B-FE-C4-00"), the
    // cancel, or Done for a completed update.
    virtual void report(Outcome kind, const QString &message, const QString &resultBytes = {}) = 0;
    // The update stopped and the front end is idle again: `kind` says why (None when it ran
    // to its end or a refusal ended it), the message has been or will be reported.
    virtual void stopped(Outcome kind) = 0;
    // Exit while no update runs: the front end ends.
    virtual void quit() {}
};
