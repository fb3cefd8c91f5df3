#include "core/console.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <iostream>

#include "core/signals.h"

namespace {

bool output_missing = false;  // standard output was closed at the start

}  // namespace

void console_start()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is fd itself.
        int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) close(opened);
        if (fd == STDOUT_FILENO) output_missing = true;
    }
    // Each line reaches a log file or a pipe when it is printed, as it does on a terminal: a long
    // run shows how far it has come, and an interrupt loses nothing printed. std::cout writes
    // through stdout (it is synced with stdio), so this covers every line of the dialogue. The
    // lines are few; the solution file has a stream of its own.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    signals_start();
}

bool console_written()
{
    std::cout.flush();
    bool failed = !std::cout || std::fflush(stdout) != 0 || std::ferror(stdout);
    if (output_missing)
        std::cerr << "error: standard output was closed: the report was not shown\n";
    else if (failed)
        std::cerr << "error: the report could not be written to standard output\n";
    return !output_missing && !failed;
}

void pause_console()
{
    if (!isatty(STDIN_FILENO)) return;
    std::cout << "Press any key to continue . . . " << std::flush;
    termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) == 0) {
        arm_terminal(saved);
        termios raw = saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        char key;
        ssize_t got = read(STDIN_FILENO, &key, 1);
        (void)got;
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        disarm_terminal();
    }
    std::cout << "\n";
}

std::string shown_word(std::string const& word)
{
    std::string shown;
    for (std::size_t i = 0; i < word.size() && i < longest_word; ++i) {
        unsigned char b = static_cast<unsigned char>(word[i]);
        if (b == '\\' || b == '"') {
            shown += '\\';
            shown += static_cast<char>(b);
        } else if (b >= 0x20 && b < 0x7f) {
            shown += static_cast<char>(b);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            shown += hex;
        }
    }
    if (word.size() > longest_word) shown += "...";
    return shown;
}

bool read_size(char const* what, unsigned int& value)
{
    // White space as the stream's extraction of a word knows it (the "C" locale).
    auto blank = [](char ch) { return std::isspace(static_cast<unsigned char>(ch)) != 0; };
    std::string word;
    char ch = ' ';
    while (blank(ch) && std::cin.get(ch)) {
    }
    if (!std::cin) {
        std::cerr << "error: no " << what << " was given: enter a whole number from 1 up\n";
        return false;
    }
    word += ch;
    while (word.size() <= longest_word && std::cin.get(ch) && !blank(ch)) word += ch;
    const std::uint64_t limit = 4294967295u;
    if (word.size() > longest_word) {
        std::cerr << "error: \"" << shown_word(word) << "\" is too long for the " << what
                  << ": enter a whole number from 1 to " << limit << "\n";
        return false;
    }
    std::uint64_t v = 0;
    bool digits = true;
    bool in_range = true;
    for (char c : word) {
        if (c < '0' || c > '9') {
            digits = false;
            break;
        }
        if (in_range) {
            v = v * 10 + static_cast<std::uint64_t>(c - '0');
            if (v > limit) in_range = false;
        }
    }
    if (!digits || v == 0) {
        std::cerr << "error: \"" << shown_word(word) << "\" is not a valid " << what
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
