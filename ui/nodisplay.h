// Turns the window system's failure to start (no display, none reachable) into one line
// that says so and an exit status of 1, instead of Qt's abort with its reinstall advice.
#pragma once

#include <QtGlobal>

class NoDisplayGuard {
public:
    // Held while the application object is made; the window system's messages of that span
    // are kept back and passed on only if it starts.
    NoDisplayGuard();
    ~NoDisplayGuard();
    NoDisplayGuard(const NoDisplayGuard &) = delete;
    NoDisplayGuard &operator=(const NoDisplayGuard &) = delete;

    // The line printed when no display could be used.
    static const char *message();
};
