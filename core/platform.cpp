// Platform layer: what the programs need of the operating system, in one place.
#include "core/platform.h"

#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>

double clock_reading()
{
    return static_cast<double>(std::clock());
}

double clock_seconds(double span)
{
    return span / static_cast<double>(CLOCKS_PER_SEC);
}

void pause_console()
{
    if (!isatty(STDIN_FILENO)) return;
    std::cout << "Press any key to continue . . . " << std::flush;
    termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios raw = saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        char key;
        ssize_t got = read(STDIN_FILENO, &key, 1);
        (void)got;
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    std::cout << "\n";
}

bool read_size(char const* what, unsigned int& value)
{
    std::string word;
    if (!(std::cin >> word)) {
        std::cerr << "error: no " << what << " was given: enter a whole number from 1 up\n";
        return false;
    }
    const std::uint64_t limit = 4294967295u;
    std::uint64_t v = 0;
    bool digits = !word.empty();
    bool in_range = true;
    for (char ch : word) {
        if (ch < '0' || ch > '9') {
            digits = false;
            break;
        }
        if (in_range) {
            v = v * 10 + static_cast<std::uint64_t>(ch - '0');
            if (v > limit) in_range = false;
        }
    }
    if (!digits || v == 0) {
        std::cerr << "error: \"" << word << "\" is not a valid " << what
                  << ": enter a whole number from 1 up\n";
        return false;
    }
    if (!in_range) {
        std::cerr << "error: " << word << " is too large for the " << what
                  << ": enter a whole number from 1 to " << limit << "\n";
        return false;
    }
    value = static_cast<unsigned int>(v);
    return true;
}

double physical_memory()
{
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return 0.0;
    return static_cast<double>(pages) * static_cast<double>(page_size);
}

void print_bytes(double bytes, char* buffer, std::size_t size)
{
    const double mib = 1024.0 * 1024.0;
    if (bytes >= 1024.0 * mib)
        std::snprintf(buffer, size, "%.1f GiB", bytes / (1024.0 * mib));
    else
        std::snprintf(buffer, size, "%.1f MiB", bytes / mib);
}

void out_of_memory(double bytes)
{
    char amount[64];
    print_bytes(bytes, amount, sizeof amount);
    std::cout << std::flush;
    std::cerr << "error: out of memory: " << amount << " more could not be allocated\n";
    std::exit(1);
}
