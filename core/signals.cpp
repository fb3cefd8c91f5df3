#include "core/signals.h"

#include <unistd.h>

#include <csignal>
#include <cstring>

namespace {

// What a terminating signal has to undo before the run ends. Written outside the handler only
// with the signals held (arming) or by one store of a flag (disarming), read by the handler.
char pending_part[4096];
volatile std::sig_atomic_t part_armed = 0;
termios terminal_saved;
volatile std::sig_atomic_t terminal_armed = 0;

const int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void undo_and_end(int sig)
{
    if (part_armed) unlink(pending_part);
    if (terminal_armed) tcsetattr(STDIN_FILENO, TCSANOW, &terminal_saved);
    // The handler was reset to the default on entry and the signal is not blocked: this ends the
    // run with the signal's own status.
    raise(sig);
}

}  // namespace

void signals_start()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    for (int s : ending_signals) {
        struct sigaction old;
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        struct sigaction act;
        std::memset(&act, 0, sizeof act);
        act.sa_handler = undo_and_end;
        sigemptyset(&act.sa_mask);
        act.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigaction(s, &act, nullptr);
    }
}

signals_held::signals_held()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : ending_signals) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &saved);
}

signals_held::~signals_held() { sigprocmask(SIG_SETMASK, &saved, nullptr); }

bool signals_held::pending()
{
    sigset_t set;
    if (sigpending(&set) != 0) return false;
    for (int s : ending_signals)
        if (sigismember(&set, s) == 1) return true;
    return false;
}

// The copy and the flag are written with the ending signals held: the compiler may store the flag
// first, and a signal between the two stores would act on a half-written copy. Once they are let
// through, both stores are done.
void arm_unlink(char const* path)
{
    const std::size_t n = std::strlen(path) + 1;
    if (n > sizeof pending_part) return;
    signals_held held;
    std::memcpy(pending_part, path, n);
    part_armed = 1;
}

void disarm_unlink() { part_armed = 0; }

// Held as above: a flag armed before the copy would make the handler apply zeroed settings (no
// echo, no line editing, no Ctrl-C) to the terminal the shell gets back.
void arm_terminal(termios const& saved)
{
    signals_held held;
    terminal_saved = saved;
    terminal_armed = 1;
}

void disarm_terminal() { terminal_armed = 0; }
