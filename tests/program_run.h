// Runs the programs as processes through their console, and reads their solution files back.
#ifndef TESTS_PROGRAM_RUN_H
#define TESTS_PROGRAM_RUN_H

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/core_fixture.h"

namespace fs = std::filesystem;

inline std::string slurp(fs::path const& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
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

    program_run() : dir(scratch.path / "run") { fs::create_directory(dir); }

    void run(char const* program, std::string const& input)
    {
        const std::string exe = std::string(SEM_BINARY_DIR) + "/" + program;
        const std::string in = (scratch.path / "stdin").string();
        const std::string o = (scratch.path / "stdout").string();
        const std::string e = (scratch.path / "stderr").string();
        const std::string cwd = dir.string();
        std::ofstream(in, std::ios::binary) << input;
        std::cout.flush();
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            int fi = open(in.c_str(), O_RDONLY);
            int fo = open(o.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int fe = open(e.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fi < 0 || fo < 0 || fe < 0 || dup2(fi, 0) < 0 || dup2(fo, 1) < 0 || dup2(fe, 2) < 0 ||
                chdir(cwd.c_str()) != 0)
                _exit(126);
            alarm(120);  // a run that hangs is ended by SIGALRM, not left to block the suite
            char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
            execv(exe.c_str(), argv);
            _exit(127);
        }
        ASSERT_GT(pid, 0) << "fork failed";
        int ws = 0;
        while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
        }
        status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        out = slurp(o);
        err = slurp(e);
    }

    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (auto const& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
        return names;
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
    EXPECT_FALSE(std::getline(in, line)) << file << " goes on after its last row: \"" << line << "\"";
    return rows;
}

#endif
