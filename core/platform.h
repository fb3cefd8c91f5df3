// The small platform layer: console, input of the sizes, memory of the machine and the
// replacement of files.
#ifndef CORE_PLATFORM_H
#define CORE_PLATFORM_H

#include <cstddef>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

// At the start of a run. A closed standard stream is opened on /dev/null, so that no file the run
// opens takes its number (the report would land in the solution file), and a closed standard
// output is remembered as a console that failed. SIGPIPE and SIGXFSZ are ignored: a console that
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

// Physical memory of the machine in bytes.
double physical_memory();

// What a run may take: the smallest of the kernel's estimate of available memory (MemAvailable of
// /proc/meminfo) and what the memory limits of the control groups on the process's path leave
// free (cgroup v2 memory.max, v1 memory.limit_in_bytes, less the usage without the inactive file
// cache, which the kernel gives back on demand), else the physical memory. `what` ends the
// sentence "... need X of memory; " of a refusal, and is empty when nothing could be read.
// `root` is put before every path read ("" for the machine itself).
struct memory_bound {
    double bytes;
    std::string what;
};
memory_bound available_memory(std::string const& root);

// "12.3 MiB", "4.5 GiB".
void print_bytes(double bytes, char* buffer, std::size_t size);

// Last resort when storage cannot be had: one line on standard error, exit status 1.
[[noreturn]] void out_of_memory(double bytes);

// An array of n value-initialised T that releases itself; never null: a failed allocation ends
// the run through out_of_memory.
template <class T>
std::unique_ptr<T[]> make_array(std::size_t n)
{
    std::unique_ptr<T[]> a(new (std::nothrow) T[n == 0 ? 1 : n]());
    if (!a) out_of_memory(static_cast<double>(sizeof(T)) * static_cast<double>(n));
    return a;
}

#endif
