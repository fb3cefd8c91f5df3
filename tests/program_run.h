// Runs the programs as processes through their console, and reads their solution files back.
#ifndef TESTS_PROGRAM_RUN_H
#define TESTS_PROGRAM_RUN_H

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/core_fixture.h"

namespace fs = std::filesystem;

// How the child's standard output is connected.
enum class child_output {
    file,         // a file, read back into `out`
    full,         // /dev/full: every write fails
    closed,       // no standard output at all
    broken_pipe,  // a pipe whose reader has gone
};

// What the child gets beside its input.
struct child_setup {
    child_output output = child_output::file;
    char const* input_device = nullptr;  // standard input from this file instead of the input text
    rlim_t file_size = RLIM_INFINITY;    // RLIMIT_FSIZE; SIGXFSZ is left at its default
    unsigned int seconds = 120;          // a run that hangs is ended by SIGALRM
};

inline std::string exe_path(char const* program)
{
    return std::string(SEM_BINARY_DIR) + "/" + program;
}

// Status of a child that waitpid reported: its exit status, or 128 + the signal that ended it.
inline int status_of(int ws)
{
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : WIFSIGNALED(ws) ? 128 + WTERMSIG(ws) : -1;
}

// One program run: `dir` is its working directory, empty before the run; standard input is a file
// (not a terminal, so the closing pause returns at once) and the two output streams are captured
// beside `dir`.
struct program_run {
    scratch_dir scratch;
    fs::path dir;
    int status = -1;
    std::string out;
    std::string err;
    pid_t pid = -1;

    program_run() : dir(scratch.path / "run") { fs::create_directory(dir); }
    ~program_run()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    program_run(program_run const&) = delete;
    program_run& operator=(program_run const&) = delete;

    void run(char const* program, std::string const& input, child_setup const& setup = {})
    {
        start(program, input, setup);
        finish();
    }

    // The child runs on until finish().
    void start(char const* program, std::string const& input, child_setup const& setup = {})
    {
        const std::string exe = exe_path(program);
        const std::string in =
            setup.input_device ? setup.input_device : (scratch.path / "stdin").string();
        const std::string o = (scratch.path / "stdout").string();
        const std::string e = (scratch.path / "stderr").string();
        const std::string cwd = dir.string();
        if (!setup.input_device) std::ofstream(in, std::ios::binary) << input;
        std::ofstream(o, std::ios::binary).flush();
        std::cout.flush();
        std::fflush(nullptr);
        pid = fork();
        if (pid == 0) {
            int fi = open(in.c_str(), O_RDONLY);
            int fe = open(e.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int fo = -1;
            int ends[2] = {-1, -1};
            switch (setup.output) {
                case child_output::file:
                    fo = open(o.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                    break;
                case child_output::full:
                    fo = open("/dev/full", O_WRONLY);
                    break;
                case child_output::closed:
                    fo = fe;
                    break;
                case child_output::broken_pipe:
                    if (pipe(ends) == 0) {
                        close(ends[0]);
                        fo = ends[1];
                    }
                    break;
            }
            if (fi < 0 || fo < 0 || fe < 0 || dup2(fi, 0) < 0 || dup2(fo, 1) < 0 ||
                dup2(fe, 2) < 0 || chdir(cwd.c_str()) != 0)
                _exit(126);
            if (setup.output == child_output::closed) close(1);
            struct rlimit limit = {setup.file_size, setup.file_size};
            if (setup.file_size != RLIM_INFINITY && setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(126);
            alarm(setup.seconds);
            char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
            execv(exe.c_str(), argv);
            _exit(127);
        }
        ASSERT_GT(pid, 0) << "fork failed";
    }

    void finish()
    {
        int ws = 0;
        while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
        }
        status = status_of(ws);
        pid = -1;
        out = slurp(scratch.path / "stdout");
        err = slurp(scratch.path / "stderr");
    }

    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (auto const& entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename());
        return names;
    }
};

// A program on a pseudo-terminal, which is its standard input, output and error; the test types
// on the master side and reads what the program writes.
struct terminal_run {
    scratch_dir scratch;
    int master = -1;
    int slave = -1;  // held open by the test, so that the terminal's settings outlive the program
    pid_t pid = -1;
    std::string screen;

    void start(char const* program)
    {
        const std::string exe = exe_path(program);
        const std::string cwd = scratch.path.string();
        std::cout.flush();
        std::fflush(nullptr);
        pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            struct rlimit no_core = {0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            if (chdir(cwd.c_str()) != 0) _exit(126);
            alarm(60);
            char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
            execv(exe.c_str(), argv);
            _exit(127);
        }
        ASSERT_GT(pid, 0) << "forkpty failed";
        char* name = ptsname(master);
        ASSERT_NE(name, nullptr);
        slave = open(name, O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
    }

    void type(std::string const& keys)
    {
        ASSERT_EQ(write(master, keys.data(), keys.size()), ssize_t(keys.size()));
    }

    // Reads what the program writes for up to `ms` milliseconds, or until `text` has appeared.
    bool read_until(std::string const& text, int ms)
    {
        for (int waited = 0; waited < ms; waited += 10) {
            if (!text.empty() && screen.find(text) != std::string::npos) return true;
            pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 10) == 1 && (p.revents & POLLIN)) {
                char buffer[4096];
                ssize_t n = read(master, buffer, sizeof buffer);
                if (n > 0) screen.append(buffer, std::size_t(n));
            }
        }
        return !text.empty() && screen.find(text) != std::string::npos;
    }

    // The terminal's local modes as the program left them.
    tcflag_t local_modes() const
    {
        termios t{};
        tcgetattr(slave, &t);
        return t.c_lflag;
    }

    // Waits until the terminal's modes have `bits` all clear, for up to `ms` milliseconds.
    bool modes_cleared(tcflag_t bits, int ms)
    {
        for (int waited = 0; waited < ms; waited += 10) {
            if ((local_modes() & bits) == 0) return true;
            read_until("", 10);
        }
        return false;
    }

    // Status of the ended program; -1 (and the program killed) if it has not ended after `ms`.
    int finish(int ms)
    {
        for (int waited = 0; waited < ms; waited += 10) {
            int ws = 0;
            if (waitpid(pid, &ws, WNOHANG) == pid) {
                pid = -1;
                return status_of(ws);
            }
            read_until("", 10);
        }
        return -1;
    }

    ~terminal_run()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
};

// Replaces the text after each occurrence of `label` up to the first character not in `chars`
// (without `chars`: up to the end of the line) with "#".
inline std::string masked(std::string text, char const* label, char const* chars = nullptr)
{
    const std::string l = label;
    for (std::size_t pos = text.find(l); pos != std::string::npos; pos = text.find(l, pos)) {
        pos += l.size();
        std::size_t end = chars ? text.find_first_not_of(chars, pos) : text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        text.replace(pos, end - pos, "#");
    }
    return text;
}

// The timings differ from run to run.
inline std::string times_masked(std::string text)
{
    for (char const* label : {"time estimate to continue=", " matrix prepared after:",
                              "Time of solving system=", "Total time: "})
        text = masked(std::move(text), label, "0123456789.e+-");
    return text;
}

struct node {
    double x, y, u;
};
using solution = std::vector<std::vector<node>>;

// A solution file: ydim blocks of xdim lines "x y u", top row first, each closed by an empty line.
inline solution read_solution(fs::path const& file, unsigned int xdim, unsigned int ydim)
{
    std::ifstream in(file);
    EXPECT_TRUE(in) << "no " << file;
    solution rows;
    std::string line;
    for (unsigned int r = 0; r < ydim; ++r) {
        std::vector<node> row;
        for (unsigned int c = 0; c < xdim; ++c) {
            node n{};
            int used = -1;
            if (!std::getline(in, line) ||
                std::sscanf(line.c_str(), "%lf %lf %lf%n", &n.x, &n.y, &n.u, &used) != 3 ||
                used != int(line.size())) {
                ADD_FAILURE() << file << ": row " << r << " column " << c << ": \"" << line << "\"";
                return {};
            }
            row.push_back(n);
        }
        if (!std::getline(in, line) || !line.empty()) {
            ADD_FAILURE() << file << ": row " << r << " is not closed by an empty line";
            return {};
        }
        rows.push_back(row);
    }
    EXPECT_FALSE(std::getline(in, line))
        << file << " goes on after its last row: \"" << line << "\"";
    return rows;
}

#endif
