// The solution file and the mesh file: exact formats, replacement of an old file, non-finite
// values, and files that cannot be written. Every test writes in a fresh directory of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "core/sem.h"
#include "core/storage.h"
#include "tests/core_fixture.h"

namespace {

std::string contents(char const* name)
{
    std::ifstream f(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

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
    EXPECT_EQ(contents("SINSIN.dat"),
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
    EXPECT_EQ(contents("SINSIN.dat"),
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
    EXPECT_EQ(contents("POISEUILLE.dat"),
              "0.000000000000000 1.000000000000000 nan\n"
              "750.000000000000000 1.000000000000000 inf\n"
              "\n"
              "0.000000000000000 0.000000000000000 -inf\n"
              "750.000000000000000 0.000000000000000 -0.250000000000000\n"
              "\n");
    ASSERT_TRUE(comsol_mesh(d.ix, d.msh()));
    EXPECT_EQ(contents("comsol_mesh.txt"),
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
    EXPECT_EQ(contents("SINSIN.dat"),
              "0.000000000000000 1.000000000000000 1.000000000000000\n"
              "1.000000000000000 1.000000000000000 2.000000000000000\n\n"
              "0.000000000000000 0.000000000000000 3.000000000000000\n"
              "1.000000000000000 0.000000000000000 4.000000000000000\n\n");
    EXPECT_EQ(contents("comsol_mesh.txt"),
              "% Coordinates\n0.000000\t1.000000\n1.000000\t1.000000\n0.000000\t0.000000\n"
              "1.000000\t0.000000\n\n% Elements (triangular)\n0\t2\t1\n1\t2\t3\n");
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
    EXPECT_EQ(contents("comsol_mesh.txt"),
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
        EXPECT_EQ(contents("comsol_mesh.txt"),
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
