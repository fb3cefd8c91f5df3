// The programs as a user meets them when things go wrong: a full disk or a signal while the
// solution file is written, a console that cannot take the report, input that cannot be a number,
// an interrupted pause on a terminal; and the memory a run is measured against.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/console.h"
#include "core/memory.h"
#include "tests/program_run.h"

namespace {

int lines_in(std::string const& text)
{
    return int(std::count(text.begin(), text.end(), '\n'));
}

struct program_file {
    char const* program;
    char const* file;
};

const program_file all_programs[] = {
    {"poisson", "SINSIN.dat"},
    {"convdiff01", "SINGUL_01.dat"},
    {"convdiff001", "SINGUL_001.dat"},
    {"poiseuille", "POISEUILLE.dat"},
};

// A file system that fills up: writes past 32 KiB fail as on a full disk (EFBIG, with SIGXFSZ at
// its default, which would end the run unless the program ignores it). The earlier file stays,
// the run says so and ends with status 2; a later run with room replaces the file whole.
TEST(WholeFiles, FullDiskKeepsTheEarlierFile)
{
    for (program_file const& c : all_programs) {
        SCOPED_TRACE(c.program);
        program_run p;
        p.run(c.program, "2 3 2 2\n");
        ASSERT_EQ(p.status, 0) << p.err;
        const std::string earlier = slurp(p.dir / c.file);
        ASSERT_LT(earlier.size(), 32u * 1024u);

        child_setup small_disk;
        small_disk.file_size = 32 * 1024;
        p.run(c.program, "8 8 4 4\n", small_disk);
        EXPECT_EQ(p.status, 2);
        EXPECT_EQ(lines_in(p.err), 1) << p.err;
        EXPECT_NE(p.err.find(std::string("\"") + c.file + "\""), std::string::npos) << p.err;
        EXPECT_NE(p.err.find("File too large"), std::string::npos) << p.err;
        EXPECT_NE(p.out.find("\nTotal time: "), std::string::npos) << p.out;
        EXPECT_EQ(slurp(p.dir / c.file), earlier);
        EXPECT_EQ(p.files(), std::vector<std::string>{c.file});

        p.run(c.program, "8 8 4 4\n");
        EXPECT_EQ(p.status, 0) << p.err;
        EXPECT_EQ(read_solution(p.dir / c.file, 33, 33).size(), 33u);
        EXPECT_EQ(p.files(), std::vector<std::string>{c.file});
    }
}

// Waits until the run has begun its new file, then stops it there; false if the run finished
// (or the file was already in place) first.
bool stopped_while_writing(program_run& p)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (partial_files(p.dir).empty()) {
        int ws = 0;
        if (waitpid(p.pid, &ws, WNOHANG) == p.pid) {
            p.status = status_of(ws);
            p.pid = -1;
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(p.pid, SIGSTOP);
    int ws = 0;
    if (waitpid(p.pid, &ws, WUNTRACED) != p.pid || !WIFSTOPPED(ws)) return false;
    if (!partial_files(p.dir).empty()) return true;
    kill(p.pid, SIGCONT);
    return false;
}

// A run ended by a signal while it writes a 32 MB solution file leaves the earlier file under the
// name; the signals that can be caught also take the new file away.
TEST(WholeFiles, SignalWhileWritingKeepsTheEarlierFile)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
        SCOPED_TRACE("signal " + std::to_string(sig));
        program_run p;
        const std::string earlier = "an earlier solution\n";
        bool caught = false;
        for (int attempt = 0; attempt < 3 && !caught; ++attempt) {
            put_file(p.dir / "SINSIN.dat", earlier);
            for (std::string const& name : partial_files(p.dir)) fs::remove(p.dir / name);
            p.start("poisson", "1 300000 1 1\n");
            caught = stopped_while_writing(p);
            if (caught) {
                kill(p.pid, sig);
                kill(p.pid, SIGCONT);
            }
            if (p.pid > 0) p.finish();
        }
        ASSERT_TRUE(caught) << "every run finished its file before it could be stopped";
        EXPECT_EQ(p.status, 128 + sig) << p.err;
        EXPECT_EQ(slurp(p.dir / "SINSIN.dat"), earlier);
        EXPECT_EQ(partial_files(p.dir).size(), sig == SIGKILL ? 1u : 0u);
    }
}

// Under the name: a FIFO nobody reads (which would block the open for ever), a directory. Either
// is refused with one line, stays as it was, and the run ends with status 2 after its report.
TEST(WholeFiles, WhatIsNotARegularFileIsLeftAlone)
{
    for (bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "FIFO" : "directory");
        program_run p;
        const fs::path name = p.dir / "SINSIN.dat";
        if (fifo)
            ASSERT_EQ(mkfifo(name.c_str(), 0644), 0);
        else
            fs::create_directory(name);
        child_setup bounded;
        bounded.seconds = 30;
        p.run("poisson", "2 2 4 4\n", bounded);
        EXPECT_EQ(p.status, 2);
        EXPECT_EQ(lines_in(p.err), 1) << p.err;
        EXPECT_NE(p.err.find(fifo ? "FIFO" : "directory"), std::string::npos) << p.err;
        EXPECT_NE(p.out.find("\nTotal time: "), std::string::npos) << p.out;
        EXPECT_EQ(fifo ? fs::is_fifo(name) : fs::is_directory(name), true);
        EXPECT_EQ(p.files(), std::vector<std::string>{"SINSIN.dat"});
    }
}

struct console_case {
    char const* what;
    child_output output;
    char const* program;
    char const* input;
    char const* file;
    unsigned int xdim, ydim;
    bool file_blocked;  // a directory under the file's name as well
    int status;
    char const* said;   // on standard error
};

// The report that does not reach the console is an error of its own (status 4, one line); the
// solution file is written all the same, whole, and never takes the report's place. A file that
// cannot be written keeps its status 2.
TEST(Console, ReportThatCannotBeWrittenIsAnError)
{
    const console_case cases[] = {
        {"/dev/full", child_output::full, "poisson", "4 4 8 8\n", "SINSIN.dat", 33, 33, false, 4,
         "error: the report could not be written to standard output\n"},
        {"closed", child_output::closed, "poisson", "4 4 8 8\n", "SINSIN.dat", 33, 33, false, 4,
         "error: standard output was closed: the report was not shown\n"},
        {"reader gone", child_output::broken_pipe, "poiseuille", "4 60 4 4\n", "POISEUILLE.dat",
         241, 17, false, 4, "error: the report could not be written to standard output\n"},
        {"/dev/full and no file", child_output::full, "poisson", "2 2 4 4\n", "SINSIN.dat", 0, 0,
         true, 2, "error: the report could not be written to standard output\n"},
    };
    for (console_case const& c : cases) {
        SCOPED_TRACE(c.what);
        program_run p;
        if (c.file_blocked) fs::create_directory(p.dir / c.file);
        child_setup setup;
        setup.output = c.output;
        p.run(c.program, c.input, setup);
        EXPECT_EQ(p.status, c.status) << p.err;
        EXPECT_EQ(p.files(), std::vector<std::string>{c.file});
        if (c.file_blocked) {
            EXPECT_EQ(lines_in(p.err), 2) << p.err;
            EXPECT_NE(p.err.find(c.file), std::string::npos) << p.err;
            EXPECT_EQ(p.err.substr(p.err.find('\n') + 1), c.said);
        } else {
            EXPECT_EQ(p.err, c.said);
            EXPECT_EQ(read_solution(p.dir / c.file, c.xdim, c.ydim).size(), c.ydim);
        }
    }
}

struct word_case {
    char const* what;
    std::string input;
    char const* device;  // standard input from a device instead
    std::string shown;   // the word as the message shows it
};

// A word that cannot be a number is refused as soon as that is clear, however long the input; the
// message shows it in printable characters and at most 32 bytes of it.
TEST(ProgramInput, RefusedWordsAreShownSafely)
{
    const std::string nines(5000, '9');
    std::string zeros;
    for (std::size_t i = 0; i < longest_word; ++i) zeros += "\\x00";
    const word_case cases[] = {
        {"endless", "", "/dev/zero", "\"" + zeros + "...\""},
        {"escape sequence", "\x1b[2J 4 8 8\n", nullptr, "\"\\x1b[2J\""},
        {"5000 digits", nines + " 1 1 1\n", nullptr, "\"" + nines.substr(0, 32) + "...\""},
        {"bell", "4 4\x07 8 8\n", nullptr, "\"4\\x07\""},
        {"quote and backslash", "4 a\"b\\c 8 8\n", nullptr, "\"a\\\"b\\\\c\""},
        {"bytes above ASCII", "\xc3\xa9 4 8 8\n", nullptr, "\"\\xc3\\xa9\""},
    };
    for (word_case const& c : cases) {
        SCOPED_TRACE(c.what);
        program_run p;
        child_setup setup;
        setup.input_device = c.device;
        setup.seconds = 20;
        p.run("poisson", c.input, setup);
        EXPECT_EQ(p.status, 1) << p.err.substr(0, 200);
        ASSERT_FALSE(p.err.empty());
        EXPECT_EQ(lines_in(p.err), 1);
        EXPECT_EQ(p.err.back(), '\n');
        for (char ch : p.err.substr(0, p.err.size() - 1))
            EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << "byte " << int(static_cast<unsigned char>(ch));
        EXPECT_NE(p.err.find(c.shown), std::string::npos) << p.err;
        EXPECT_EQ(p.out.find("matrix alocated"), std::string::npos);
        EXPECT_TRUE(p.files().empty());
    }
}

struct pause_case {
    char const* what;
    char const* keys;  // typed at the pause
    int sig;           // or sent to the program
    int status;
};

// At "Press any key to continue . . . " the terminal is without echo and line editing. A key ends
// the run as usual; Ctrl-C and the terminating signals end it by that signal, and either way the
// terminal gets its settings back.
TEST(ConsolePause, TerminalSettingsComeBack)
{
    const pause_case cases[] = {
        {"a key", "x", 0, 0},
        {"Ctrl-C", "\x03", 0, 128 + SIGINT},
        {"SIGTERM", "", SIGTERM, 128 + SIGTERM},
        {"SIGHUP", "", SIGHUP, 128 + SIGHUP},
        {"SIGQUIT", "", SIGQUIT, 128 + SIGQUIT},
    };
    const tcflag_t editing = ICANON | ECHO;
    for (pause_case const& c : cases) {
        SCOPED_TRACE(c.what);
        terminal_run t;
        t.start("poisson");
        ASSERT_EQ(t.local_modes() & editing, editing);
        ASSERT_TRUE(t.read_until("enter number of elements in y-direction: ", 30000)) << t.screen;
        t.type("1 1 1 1\n");
        ASSERT_TRUE(t.read_until("Press any key to continue . . . ", 30000)) << t.screen;
        ASSERT_TRUE(t.modes_cleared(editing, 10000));
        if (c.sig)
            kill(t.pid, c.sig);
        else
            t.type(c.keys);
        EXPECT_EQ(t.finish(10000), c.status) << t.screen;
        EXPECT_EQ(t.local_modes() & editing, editing);
    }
}

struct fake_file {
    char const* path;
    char const* text;
};

struct memory_case {
    char const* what;
    std::vector<fake_file> files;
    double bytes;        // expected; 0: the physical memory
    char const* named;   // in the description
};

// The readers of available memory on small fake trees of /proc and /sys/fs/cgroup.
TEST(MemoryBound, SmallestOfAvailableMemoryAndControlGroupLimits)
{
    const double gib = 1024.0 * 1024.0 * 1024.0;
    const char* meminfo = "MemTotal:       24000000 kB\nMemFree:         1000000 kB\n"
                          "MemAvailable:   10485760 kB\nBuffers:           1000 kB\n";
    const char* v2_mount =
        "30 25 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";
    const char* v1_mounts =
        "33 32 0:30 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
        "36 32 0:33 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
        "42 32 0:39 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
    const memory_case cases[] = {
        {"MemAvailable only", {{"/proc/meminfo", meminfo}}, 10.0 * gib, "MemAvailable"},
        {"v2: the tighter of two levels, the inactive file cache counted free",
         {{"/proc/meminfo", meminfo},
          {"/proc/self/cgroup", "0::/a/b\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/a/b/memory.max", "max\n"},
          {"/sys/fs/cgroup/a/b/memory.current", "1073741824\n"},
          {"/sys/fs/cgroup/a/memory.max", "3221225472\n"},
          {"/sys/fs/cgroup/a/memory.current", "2147483648\n"},
          {"/sys/fs/cgroup/a/memory.stat", "anon 1073741824\nfile 1073741824\n"
                                           "inactive_file 536870912\n"}},
         1.5 * gib, "control group /a"},
        {"v2: a limit above MemAvailable",
         {{"/proc/meminfo", meminfo},
          {"/proc/self/cgroup", "0::/\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/memory.max", "68719476736\n"},
          {"/sys/fs/cgroup/memory.current", "1073741824\n"}},
         10.0 * gib, "MemAvailable"},
        {"v2: a mounted subgroup, used up",
         {{"/proc/self/cgroup", "0::/ns/job\n"},
          {"/proc/self/mountinfo", "30 25 0:26 /ns /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"},
          {"/sys/fs/cgroup/job/memory.max", "1073741824\n"},
          {"/sys/fs/cgroup/job/memory.current", "1200000000\n"}},
         0.0, "control group /job"},
        {"v1 beside an empty v2 hierarchy, unlimited at the leaf",
         {{"/proc/meminfo", meminfo},
          {"/proc/self/cgroup", "4:memory:/jobs/j1\n1:cpu:/\n0::/\n"},
          {"/proc/self/mountinfo", v1_mounts},
          {"/sys/fs/cgroup/memory/jobs/j1/memory.limit_in_bytes", "9223372036854771712\n"},
          {"/sys/fs/cgroup/memory/jobs/j1/memory.usage_in_bytes", "100\n"},
          {"/sys/fs/cgroup/memory/jobs/memory.limit_in_bytes", "4294967296\n"},
          {"/sys/fs/cgroup/memory/jobs/memory.usage_in_bytes", "2147483648\n"},
          {"/sys/fs/cgroup/memory/jobs/memory.stat",
           "inactive_file 10\ntotal_inactive_file 1073741824\n"}},
         3.0 * gib, "control group /jobs"},
        {"nothing readable", {}, -1.0, "physical memory"},
    };
    for (memory_case const& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir root;
        for (fake_file const& f : c.files) put_file(root.path.string() + f.path, f.text);
        memory_bound m = available_memory(root.path.string());
        EXPECT_EQ(m.bytes, c.bytes < 0 ? physical_memory() : c.bytes);
        EXPECT_NE(m.what.find(c.named), std::string::npos) << m.what;
    }
}

}  // namespace
