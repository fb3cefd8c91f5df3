// The solution file and the mesh file: exact formats, replacement of an old file (whole, with its
// mode and its symbolic link), non-finite values, and files that cannot be written. Every test
// writes in a fresh directory of its own.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "core/sem.h"
#include "core/storage.h"
#include "tests/core_fixture.h"

namespace {

// One line on standard error, and nothing else, naming the file.
void expect_one_error_line(std::string const& err, char const* file)
{
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    EXPECT_NE(err.find(file), std::string::npos) << err;
}

TEST(SolutionFile, OneElementOfDegreeOne)
{
    scratch_dir dir;
    discretisation d(sizes(1, 1, 1, 1));
    const std::vector<double> u = {0.5, -0.25, 750.0, 0.0};
    bool ok = false;
    testing::internal::CaptureStderr();
    ok = gnp_data(d.ix, u.data(), d.msh());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(slurp("SINSIN.dat"),
              "0.000000000000000 1.000000000000000 0.500000000000000\n"
              "1.000000000000000 1.000000000000000 -0.250000000000000\n"
              "\n"
              "0.000000000000000 0.000000000000000 750.000000000000000\n"
              "1.000000000000000 0.000000000000000 0.000000000000000\n"
              "\n");
}

// ydim*(xdim+1) lines, a block per mesh row from the top with an empty line after each, and the
// value of node r*xdim + c on the line of that node.
TEST(SolutionFile, BlocksInTheGlobalNumbering)
{
    scratch_dir dir;
    discretisation d(sizes(2, 1, 1, 2));  // 3 rows of 3 nodes
    std::vector<double> u(d.ix.dim);
    for (unsigned n = 0; n < d.ix.dim; ++n) u[n] = n + 0.125;
    ASSERT_TRUE(gnp_data(d.ix, u.data(), d.msh()));
    EXPECT_EQ(slurp("SINSIN.dat"),
              "0.000000000000000 1.000000000000000 0.125000000000000\n"
              "0.500000000000000 1.000000000000000 1.125000000000000\n"
              "1.000000000000000 1.000000000000000 2.125000000000000\n"
              "\n"
              "0.000000000000000 0.500000000000000 3.125000000000000\n"
              "0.500000000000000 0.500000000000000 4.125000000000000\n"
              "1.000000000000000 0.500000000000000 5.125000000000000\n"
              "\n"
              "0.000000000000000 0.000000000000000 6.125000000000000\n"
              "0.500000000000000 0.000000000000000 7.125000000000000\n"
              "1.000000000000000 0.000000000000000 8.125000000000000\n"
              "\n");
}

// The long channel's x = 750 in both files; nan and inf spelled as the C library spells them.
TEST(SolutionFile, LongChannelAndNonFiniteValues)
{
    scratch_dir dir;
    domain_length channel(750.0);
    discretisation d(sizes(1, 1, 1, 1));
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> u = {std::numeric_limits<double>::quiet_NaN(), inf, -inf, -0.25};
    ASSERT_TRUE(write_solution(d.ix, u.data(), d.msh(), "POISEUILLE.dat"));
    EXPECT_EQ(slurp("POISEUILLE.dat"),
              "0.000000000000000 1.000000000000000 nan\n"
              "750.000000000000000 1.000000000000000 inf\n"
              "\n"
              "0.000000000000000 0.000000000000000 -inf\n"
              "750.000000000000000 0.000000000000000 -0.250000000000000\n"
              "\n");
    ASSERT_TRUE(comsol_mesh(d.ix, d.msh()));
    EXPECT_EQ(slurp("comsol_mesh.txt"),
              "% Coordinates\n0.000000\t1.000000\n750.000000\t1.000000\n0.000000\t0.000000\n"
              "750.000000\t0.000000\n\n% Elements (triangular)\n0\t2\t1\n1\t2\t3\n");
}

TEST(SolutionFile, ExistingFileIsReplaced)
{
    scratch_dir dir;
    {
        std::ofstream old("SINSIN.dat");
        for (int i = 0; i < 1000; ++i) old << "an older and much longer solution file\n";
    }
    {
        std::ofstream old("comsol_mesh.txt");
        for (int i = 0; i < 1000; ++i) old << "an older mesh\n";
    }
    discretisation d(sizes(1, 1, 1, 1));
    const std::vector<double> u = {1.0, 2.0, 3.0, 4.0};
    ASSERT_TRUE(gnp_data(d.ix, u.data(), d.msh()));
    ASSERT_TRUE(comsol_mesh(d.ix, d.msh()));
    EXPECT_EQ(slurp("SINSIN.dat"),
              "0.000000000000000 1.000000000000000 1.000000000000000\n"
              "1.000000000000000 1.000000000000000 2.000000000000000\n\n"
              "0.000000000000000 0.000000000000000 3.000000000000000\n"
              "1.000000000000000 0.000000000000000 4.000000000000000\n\n");
    EXPECT_EQ(slurp("comsol_mesh.txt"),
              "% Coordinates\n0.000000\t1.000000\n1.000000\t1.000000\n0.000000\t0.000000\n"
              "1.000000\t0.000000\n\n% Elements (triangular)\n0\t2\t1\n1\t2\t3\n");
}

const std::string one_element_solution =
    "0.000000000000000 1.000000000000000 1.000000000000000\n"
    "1.000000000000000 1.000000000000000 2.000000000000000\n\n"
    "0.000000000000000 0.000000000000000 3.000000000000000\n"
    "1.000000000000000 0.000000000000000 4.000000000000000\n\n";

mode_t mode_of(char const* name)
{
    struct stat st;
    return stat(name, &st) == 0 ? st.st_mode & 07777 : 0;
}

// The new file takes the earlier file's mode, or what the umask leaves of 0666; a symbolic link
// under the name stays, and the file it leads to is replaced or, where it is missing, created.
TEST(SolutionFile, ReplacementKeepsModeAndLinks)
{
    discretisation d(sizes(1, 1, 1, 1));
    const std::vector<double> u = {1.0, 2.0, 3.0, 4.0};
    {
        scratch_dir dir;
        put_file("SINSIN.dat", "earlier\n");
        ASSERT_EQ(chmod("SINSIN.dat", 0640), 0);
        ASSERT_TRUE(gnp_data(d.ix, u.data(), d.msh()));
        EXPECT_EQ(slurp("SINSIN.dat"), one_element_solution);
        EXPECT_EQ(mode_of("SINSIN.dat"), 0640u);
    }
    {
        scratch_dir dir;
        mode_t saved = umask(027);
        bool ok = gnp_data(d.ix, u.data(), d.msh());
        umask(saved);
        ASSERT_TRUE(ok);
        EXPECT_EQ(mode_of("SINSIN.dat"), 0640u);
    }
    {
        scratch_dir dir;
        std::filesystem::create_directory("results");
        put_file("results/run1.dat", "earlier\n");
        std::filesystem::create_symlink("results/run1.dat", "SINSIN.dat");
        std::filesystem::create_directory("meshes");
        std::filesystem::create_symlink("meshes/missing.txt", "comsol_mesh.txt");
        ASSERT_TRUE(gnp_data(d.ix, u.data(), d.msh()));
        ASSERT_TRUE(comsol_mesh(d.ix, d.msh()));
        EXPECT_TRUE(std::filesystem::is_symlink("SINSIN.dat"));
        EXPECT_EQ(std::filesystem::read_symlink("SINSIN.dat"), "results/run1.dat");
        EXPECT_EQ(slurp("results/run1.dat"), one_element_solution);
        EXPECT_TRUE(std::filesystem::is_symlink("comsol_mesh.txt"));
        EXPECT_EQ(slurp("meshes/missing.txt").substr(0, 14), "% Coordinates\n");
        EXPECT_EQ(partial_files(".").size() + partial_files("results").size() +
                      partial_files("meshes").size(),
                  0u);
    }
}

// A FIFO that a process reads gets the text as it is written.
TEST(SolutionFile, FifoWithAReader)
{
    scratch_dir dir;
    discretisation d(sizes(1, 1, 1, 1));
    const std::vector<double> u = {1.0, 2.0, 3.0, 4.0};
    ASSERT_EQ(mkfifo("SINSIN.dat", 0644), 0);
    int reader = open("SINSIN.dat", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(gnp_data(d.ix, u.data(), d.msh()));  // smaller than the pipe's buffer
    char buffer[4096];
    ssize_t n = read(reader, buffer, sizeof buffer);
    close(reader);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buffer, std::size_t(n)), one_element_solution);
    EXPECT_TRUE(std::filesystem::is_fifo("SINSIN.dat"));
}

// Writes that fail part way (a file size limit, as on a full disk) leave the earlier file as it
// was and no new file beside it, in both writers.
TEST(Writers, FailedWriteKeepsTheEarlierFile)
{
    discretisation d(sizes(8, 8, 2, 2));  // some 10 KB in either file
    const std::vector<double> u(d.ix.dim, 0.5);
    scratch_dir dir;
    put_file("SINSIN.dat", "earlier solution\n");
    put_file("comsol_mesh.txt", "earlier mesh\n");
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    void (*xfsz)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    testing::internal::CaptureStderr();
    bool solution_ok = gnp_data(d.ix, u.data(), d.msh());
    bool mesh_ok = comsol_mesh(d.ix, d.msh());
    std::string err = testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, xfsz);
    EXPECT_FALSE(solution_ok);
    EXPECT_FALSE(mesh_ok);
    EXPECT_NE(err.find("\"SINSIN.dat\": File too large\n"), std::string::npos) << err;
    EXPECT_NE(err.find("\"comsol_mesh.txt\": File too large\n"), std::string::npos) << err;
    EXPECT_EQ(slurp("SINSIN.dat"), "earlier solution\n");
    EXPECT_EQ(slurp("comsol_mesh.txt"), "earlier mesh\n");
    EXPECT_TRUE(partial_files(".").empty());
}

struct child_result {
    bool ok;
    std::string err;
};

// Runs `write` in a child process as a plain user: as uid and gid 65534 when the tests run as
// root, for whom permission bits do not bind. Its standard error comes back through a pipe.
template <class F>
child_result as_plain_user(F&& write)
{
    int ends[2];
    if (pipe(ends) != 0) {
        ADD_FAILURE() << "no pipe";
        return {false, ""};
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(ends[0]);
        if (dup2(ends[1], STDERR_FILENO) < 0) _exit(3);
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 ||
                               setuid(65534) != 0))
            _exit(3);
        _exit(write() ? 0 : 1);
    }
    close(ends[1]);
    std::string err;
    char buffer[4096];
    ssize_t n;
    while ((n = read(ends[0], buffer, sizeof buffer)) > 0) err.append(buffer, std::size_t(n));
    close(ends[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) <= 1) << "the child did not run as a plain user";
    return {WIFEXITED(ws) && WEXITSTATUS(ws) == 0, err};
}

struct folder_case {
    char const* what;
    char const* folder;  // holds the file; "." is the folder of the name itself
    bool exists;         // an earlier file is there
    mode_t mode;         // its mode
    bool ok;
    char const* said;    // on standard error
};

// A folder the user may not write to: a file there that the user may write is written in place;
// otherwise nothing changes, and the message names the new file that could not be made and its
// folder. A symbolic link leads to the folder that counts.
TEST(SolutionFile, FolderThatCannotBeWrittenTo)
{
    discretisation d(sizes(1, 1, 1, 1));
    const std::vector<double> u = {1.0, 2.0, 3.0, 4.0};
    const std::string refused = "error: cannot create the new file \"SINSIN.dat.partial-XXXXXX\" "
                                "in \".\" to write \"SINSIN.dat\": Permission denied\n";
    const folder_case cases[] = {
        {"a file the user may write", ".", true, 0666, true, ""},
        {"a file the user may not write", ".", true, 0444, false, refused.c_str()},
        {"no file", ".", false, 0, false, refused.c_str()},
        {"a link to a file the user may write", "results", true, 0666, true, ""},
        {"a link to no file", "results", false, 0, false,
         "error: cannot create the new file \"run.dat.partial-XXXXXX\" in \"results\" to write "
         "\"SINSIN.dat\": Permission denied\n"},
    };
    for (folder_case const& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        const bool linked = std::string(c.folder) != ".";
        const std::string file = linked ? std::string(c.folder) + "/run.dat" : "SINSIN.dat";
        if (linked) {
            std::filesystem::create_directory(c.folder);
            std::filesystem::create_symlink(file, "SINSIN.dat");
        }
        if (c.exists) {
            put_file(file, "earlier\n");
            ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
        }
        ASSERT_EQ(chmod(".", linked ? 0755 : 0555), 0);
        ASSERT_EQ(chmod(c.folder, 0555), 0);
        child_result r = as_plain_user([&] { return gnp_data(d.ix, u.data(), d.msh()); });
        ASSERT_EQ(chmod(c.folder, 0755), 0);
        ASSERT_EQ(chmod(".", 0755), 0);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.err, c.said);
        if (c.exists) {
            EXPECT_EQ(slurp(file), c.ok ? one_element_solution : "earlier\n");
            EXPECT_EQ(mode_of(file.c_str()), c.mode);
        } else {
            EXPECT_FALSE(std::filesystem::exists(file));
        }
        EXPECT_TRUE(partial_files(c.folder).empty());
    }
}

TEST(MeshFile, TwoRowsOfThreeNodes)
{
    scratch_dir dir;
    discretisation d(sizes(1, 2, 1, 1));
    ASSERT_EQ(d.ix.ydim, 2u);
    ASSERT_EQ(d.ix.xdim, 3u);
    testing::internal::CaptureStderr();
    bool ok = comsol_mesh(d.ix, d.msh());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(ok);
    EXPECT_EQ(slurp("comsol_mesh.txt"),
              "% Coordinates\n"
              "0.000000\t1.000000\n0.500000\t1.000000\n1.000000\t1.000000\n"
              "0.000000\t0.000000\n0.500000\t0.000000\n1.000000\t0.000000\n"
              "\n"
              "% Elements (triangular)\n"
              "0\t3\t1\n1\t3\t4\n1\t4\t2\n2\t4\t5\n");
}

// Cells between neighbouring nodes, not per element: 2 (ydim-1)(xdim-1) triangles; a single row
// or column of nodes has none, and the section is its header alone.
TEST(MeshFile, CellsAndDegenerateMeshes)
{
    struct cells_case {
        unsigned ydim, xdim;
        char const* elements;
    };
    const cells_case cases[] = {
        {1, 3, ""},
        {3, 1, ""},
        {3, 2, "0\t2\t1\n1\t2\t3\n2\t4\t3\n3\t4\t5\n"},
    };
    for (auto const& c : cases) {
        scratch_dir dir;
        indices ix{0, 0, 0, 0, c.ydim, c.xdim, c.ydim * c.xdim};
        grid<coo> mesh(c.ydim, c.xdim);
        std::ostringstream coords;
        for (unsigned r = 0; r < c.ydim; ++r)
            for (unsigned col = 0; col < c.xdim; ++col) {
                mesh.get()[r][col] = {col * 0.25, 2.0 - r * 0.5, 0.0, 0.0};
                char line[64];
                std::snprintf(line, sizeof line, "%.6f\t%.6f\n", col * 0.25, 2.0 - r * 0.5);
                coords << line;
            }
        ASSERT_TRUE(comsol_mesh(ix, mesh.get()));
        EXPECT_EQ(slurp("comsol_mesh.txt"),
                  "% Coordinates\n" + coords.str() + "\n% Elements (triangular)\n" + c.elements)
            << c.ydim << " x " << c.xdim;
    }
}

// A file that cannot be created (a directory of that name, a missing directory) or not written
// (a full device) is reported with one line on standard error and a false result.
TEST(Writers, FailuresAreReported)
{
    discretisation d(sizes(2, 2, 2, 2));
    const std::vector<double> u(d.ix.dim, 0.5);
    {
        scratch_dir dir;
        std::filesystem::create_directory("SINSIN.dat");
        std::filesystem::create_directory("comsol_mesh.txt");
        testing::internal::CaptureStderr();
        EXPECT_FALSE(gnp_data(d.ix, u.data(), d.msh()));
        expect_one_error_line(testing::internal::GetCapturedStderr(), "SINSIN.dat");
        testing::internal::CaptureStderr();
        EXPECT_FALSE(comsol_mesh(d.ix, d.msh()));
        expect_one_error_line(testing::internal::GetCapturedStderr(), "comsol_mesh.txt");
    }
    {
        scratch_dir dir;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(write_solution(d.ix, u.data(), d.msh(), "no/such/directory/SINSIN.dat"));
        expect_one_error_line(testing::internal::GetCapturedStderr(), "SINSIN.dat");
    }
    if (access("/dev/full", W_OK) == 0) {
        scratch_dir dir;
        std::filesystem::create_symlink("/dev/full", "SINSIN.dat");
        std::filesystem::create_symlink("/dev/full", "comsol_mesh.txt");
        testing::internal::CaptureStderr();
        EXPECT_FALSE(gnp_data(d.ix, u.data(), d.msh()));
        expect_one_error_line(testing::internal::GetCapturedStderr(), "SINSIN.dat");
        testing::internal::CaptureStderr();
        EXPECT_FALSE(comsol_mesh(d.ix, d.msh()));
        expect_one_error_line(testing::internal::GetCapturedStderr(), "comsol_mesh.txt");
    } else {
        GTEST_LOG_(INFO) << "/dev/full not writable: full-device case not run";
    }
}

}  // namespace
