// One handler of the ending signals: it removes an unfinished new file and restores the terminal.
#ifndef CORE_SIGNALS_H
#define CORE_SIGNALS_H

#include <signal.h>
#include <termios.h>

// At the start of a run. SIGPIPE and SIGXFSZ are ignored: a console that went away or a file that
// grew past the size limit is a failed write, not a silent end. SIGINT, SIGTERM, SIGHUP and
// SIGQUIT, unless inherited as ignored, first undo what is armed below, then end the run as they
// would have.
void signals_start();

// Holds back the ending signals while the state they undo changes.
struct signals_held {
    sigset_t saved;
    signals_held();
    ~signals_held();
    // Whether one of them has come meanwhile; it takes effect when they are let through.
    static bool pending();
    signals_held(signals_held const&) = delete;
    signals_held& operator=(signals_held const&) = delete;
};

// The new file an ending signal removes, one at a time. Arming holds the signals itself; the caller
// holds them around making the file and arming, so that no signal comes between the two.
// A path too long for the handler's copy is not armed.
void arm_unlink(char const* path);
void disarm_unlink();

// The terminal settings an ending signal puts back on standard input.
void arm_terminal(termios const& saved);
void disarm_terminal();

#endif
