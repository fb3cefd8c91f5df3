// The memory a run may take, and arrays whose failed allocation ends the run with one line.
#ifndef CORE_MEMORY_H
#define CORE_MEMORY_H

#include <cstddef>
#include <memory>
#include <new>
#include <string>

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
