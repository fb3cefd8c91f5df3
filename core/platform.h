// The small platform layer: clock, console pause, input of the sizes and memory of the machine.
#ifndef CORE_PLATFORM_H
#define CORE_PLATFORM_H

#include <cstddef>
#include <memory>
#include <new>

// Processor clock as a double, and a span of two readings in seconds.
double clock_reading();
double clock_seconds(double span);

// Stands in for the command processor's "PAUSE": on a terminal it prints
// "Press any key to continue . . . " and waits for one key; otherwise it returns at once.
void pause_console();

// Reads one whole number from 1 to 4294967295 as a whitespace-separated word of standard input.
// On anything else it writes one line naming the value and the rule to standard error and
// returns false.
bool read_size(char const* what, unsigned int& value);

// Physical memory of the machine in bytes.
double physical_memory();

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
