// The console of a run: its start and end, the pause, and the four sizes read from it.
#ifndef CORE_CONSOLE_H
#define CORE_CONSOLE_H

#include <cstddef>
#include <string>

// At the start of a run, before anything is written. A closed standard stream is opened on
// /dev/null, so that no file the run opens takes its number (the report would land in the solution
// file), and a closed standard output is remembered as a console that failed. Standard output is
// line buffered wherever it goes. SIGPIPE and SIGXFSZ are ignored: a console that
// went away or a file that grew past the size limit is a failed write, not a silent end. SIGINT,
// SIGTERM, SIGHUP and SIGQUIT, unless inherited as ignored, first undo what is pending (a new file
// not yet renamed, the terminal's settings at the pause), then end the run as they would have.
void console_start();

// Whether everything written to standard output reached it; if not, one line on standard error.
bool console_written();

// Stands in for the command processor's "PAUSE": on a terminal it prints
// "Press any key to continue . . . " and waits for one key; otherwise it returns at once.
void pause_console();

// Reads one whole number from 1 to 4294967295 as a whitespace-separated word of standard input.
// On anything else it writes one line naming the value and the rule to standard error and
// returns false. A word is read no further than any number needs: longer ones are refused at once.
bool read_size(char const* what, unsigned int& value);

// Longest word read_size takes in, and its form for a message: bytes that cannot be printed as
// \xNN (with \\ and \" for the backslash and the quote), and only the first longest_word bytes of
// a longer word, followed by "...".
constexpr std::size_t longest_word = 32;
std::string shown_word(std::string const& word);

#endif
