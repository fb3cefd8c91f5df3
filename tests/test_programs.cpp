// The four programs run as processes through their console: sizes piped in, transcript, exit
// status and solution file out, each run in a directory of its own.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/memory.h"
#include "lsolver/bicgstab"
#include "tests/direct_check.h"
#include "tests/program_run.h"

namespace {

// The console of one run up to the solver, from the banner to the boundary conditions.
std::string road_to_solver(std::string const& banner, unsigned int xdim, unsigned int ydim,
                           std::string const& bc_lines)
{
    std::ostringstream t;
    t << banner << "\nenter number of elements in y-direction: "
      << "enter number of elements in x-direction: "
      << "enter degree of interpolation in y-direction: "
      << "enter degree of interpolation in x-direction: "
      << "\nnumber of nodes in x:" << xdim << "\nnumber of nodes in y:" << ydim
      << "\nnumber of degrees of freedom:" << xdim * ydim << "\n"
      << "\nmatrix alocated\n"
      << "\nFilling matrix:time estimate to continue=#s\n... matrix prepared after:#s\n"
      << bc_lines << "\nBi-CGSTAB solver..\n";
    return t.str();
}

const std::string poisson_banner =
    "Solved problem: 2D Poisson equation\n"
    "with right hand side f(x,y)=8*pi^2*sin(2*pi*x)*sin(2*pi*y)"
    "\ncomputational domain: (0,1)x(0,1)\n";
const std::string dirichlet_all =
    "Boundary condition\nDirichlet b.c. UP\nDirichlet b.c. DOWN\nDirichlet b.c. LEFT\n"
    "Dirichlet b.c. RIGHT\n";

// "%1.15lf": an optional minus sign, digits, the point and exactly 15 digits, no exponent.
bool fixed_15(std::string const& t)
{
    std::size_t i = t.size() > 0 && t[0] == '-' ? 1 : 0;
    std::size_t point = t.find('.');
    return point != std::string::npos && point > i && t.size() == point + 16 &&
           t.find_first_not_of("0123456789", i) == point &&
           t.find_first_not_of("0123456789", point + 1) == std::string::npos;
}

// Three such numbers separated by single blanks.
bool solution_line(std::string const& line)
{
    std::size_t a = line.find(' ');
    std::size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    return b != std::string::npos && fixed_15(line.substr(0, a)) &&
           fixed_15(line.substr(a + 1, b - a - 1)) && fixed_15(line.substr(b + 1));
}

std::string fmt(double v)
{
    std::ostringstream s;
    s << v;
    return s.str();
}

double exact_poisson(double x, double y)
{
    return std::sin(2.0 * pi * x) * std::sin(2.0 * pi * y);
}

// The extreme values the report shows are those of the file: the largest and the smallest value.
void expect_report_of(std::string const& out, solution const& rows)
{
    double max = -1.7976931348623157e308, min = 1.7976931348623157e308;
    for (auto const& row : rows)
        for (node const& n : row) {
            if (n.u > max) max = n.u;
            if (n.u <= min) min = n.u;
        }
    EXPECT_NE(out.find("\nmaximum:" + fmt(max) + " in [x,y]=["), std::string::npos) << out;
    EXPECT_NE(out.find("\nminimum:" + fmt(min) + " in [x,y]=["), std::string::npos) << out;
}

TEST(PoissonProgram, ConsoleTranscriptAndSolutionFile)
{
    // The four sizes may stand on one line or on several.
    for (char const* input : {"2 2 4 4\n", "2\n2\n\n 4\t4"}) {
        SCOPED_TRACE(input);
        program_run p;
        p.run("poisson", input);
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.err, "");
        EXPECT_EQ(times_masked(p.out),
                  road_to_solver(poisson_banner, 9, 9, dirichlet_all) +
                      "     Number of iterations:3\n"
                      "     Time of solving system=#s\n\n"
                      "\nsolution has\n"
                      "maximum:1.00227 in [x,y]=[0.25,0.25] i.e. node [i,j]=[2,6]\n"
                      "minimum:-1.00227 in [x,y]=[0.75,0.25] i.e. node [i,j]=[6,6]\n\n"
                      "\nTotal time: #s\n");
        EXPECT_EQ(p.files(), std::vector<std::string>{"SINSIN.dat"});

        // 9 blocks of 9 lines and an empty line; fixed notation with 15 decimals, no exponent.
        std::string text = slurp(p.dir / "SINSIN.dat");
        std::istringstream lines(text);
        std::string line;
        int count = 0;
        while (std::getline(lines, line)) {
            ++count;
            if (count % 10 == 0)
                EXPECT_EQ(line, "") << "line " << count;
            else
                EXPECT_TRUE(solution_line(line)) << "line " << count << ": " << line;
        }
        EXPECT_EQ(count, 9 * 10);
        EXPECT_EQ(text.substr(0, 36), "0.000000000000000 1.000000000000000 ");
        EXPECT_EQ(text.substr(text.size() - 2), "\n\n");

        solution rows = read_solution(p.dir / "SINSIN.dat", 9, 9);
        ASSERT_EQ(rows.size(), 9u);
        for (unsigned int r = 0; r < 9; ++r) {
            for (unsigned int c = 0; c < 9; ++c) {
                node const& n = rows[r][c];
                if (r == 0) { EXPECT_EQ(n.y, 1.0); }
                if (r == 8) { EXPECT_EQ(n.y, 0.0); }
                if (c == 0) { EXPECT_EQ(n.x, 0.0); }
                if (c == 8) { EXPECT_EQ(n.x, 1.0); }
                if (r == 0 || r == 8 || c == 0 || c == 8) {
                    EXPECT_LE(std::fabs(n.u), 1e-13) << "boundary node " << r << "," << c;
                }
                EXPECT_NEAR(n.u, exact_poisson(n.x, n.y), 5e-3) << "node " << r << "," << c;
            }
        }
        expect_report_of(p.out, rows);
    }
}

// Every load 0: the solver takes no step and the zero guess is the solution; among equal values
// the report names the first node as the maximum and the last as the minimum.
TEST(PoissonProgram, ZeroLoadGivesZeroSolution)
{
    program_run p;
    p.run("poisson", "1 1 1 1\n");
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.err, "");
    EXPECT_NE(p.out.find("     Number of iterations:0\n"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("\nsolution has\n"
                         "maximum:0 in [x,y]=[0,1] i.e. node [i,j]=[0,0]\n"
                         "minimum:0 in [x,y]=[1,0] i.e. node [i,j]=[1,1]\n\n"),
              std::string::npos)
        << p.out;
    EXPECT_EQ(slurp(p.dir / "SINSIN.dat"),
              "0.000000000000000 1.000000000000000 0.000000000000000\n"
              "1.000000000000000 1.000000000000000 0.000000000000000\n\n"
              "0.000000000000000 0.000000000000000 0.000000000000000\n"
              "1.000000000000000 0.000000000000000 0.000000000000000\n\n");
}

// The error against sin(2 pi x) sin(2 pi y) on 4x4 elements falls spectrally with the degree.
TEST(PoissonProgram, ConvergesSpectrallyToExactSolution)
{
    program_run p;
    double previous = 1.0;
    for (unsigned int deg = 2; deg <= 8; ++deg) {
        SCOPED_TRACE("degree " + std::to_string(deg));
        p.run("poisson", "4 4 " + std::to_string(deg) + " " + std::to_string(deg) + "\n");
        ASSERT_EQ(p.status, 0) << p.err;
        unsigned int n = 4 * deg + 1;
        solution rows = read_solution(p.dir / "SINSIN.dat", n, n);
        ASSERT_EQ(rows.size(), n);
        double error = 0.0;
        for (auto const& row : rows)
            for (node const& v : row) error = std::fmax(error, std::fabs(v.u - exact_poisson(v.x, v.y)));
        if (deg == 4) {
            EXPECT_GT(error, 1e-5);
            EXPECT_LT(error, 4e-5);
        }
        if (deg == 8) {
            EXPECT_GT(error, 2e-11);
            EXPECT_LT(error, 1e-10);
        }
        EXPECT_LT(error, previous / 5.0) << "error " << error << " after " << previous;
        previous = error;
    }
}

// The write fails, the run says so and ends with status 2; the console report is still complete.
TEST(PoissonProgram, UnwritableSolutionFileIsReported)
{
    program_run p;
    fs::create_directory(p.dir / "SINSIN.dat");
    p.run("poisson", "2 2 4 4\n");
    EXPECT_EQ(p.status, 2);
    EXPECT_NE(p.err.find("SINSIN.dat"), std::string::npos) << p.err;
    EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
    EXPECT_NE(p.out.find("\nsolution has\nmaximum:1.00227 in"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("\nTotal time: "), std::string::npos) << p.out;
    EXPECT_TRUE(fs::is_directory(p.dir / "SINSIN.dat"));
}

// With standard output to a file, each line is in the file once it is printed, as it would be on
// the screen: a run interrupted while it solves has logged every line up to the solver's, and it
// has not begun its solution file.
TEST(PoissonProgram, InterruptedRunHasLoggedItsLines)
{
    program_run p;
    p.start("poisson", "40 40 8 8\n");  // some 20 s of solving
    const std::string solving = "\nBi-CGSTAB solver..\n";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string logged;
    while ((logged = slurp(p.scratch.path / "stdout")).find(solving) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        int ws = 0;
        if (waitpid(p.pid, &ws, WNOHANG) == p.pid) {
            p.pid = -1;
            FAIL() << "the run ended (status " << status_of(ws) << ") before it was interrupted";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(logged.find(solving), std::string::npos) << "logged after 60 s: \"" << logged << "\"";
    kill(p.pid, SIGINT);
    p.finish();
    EXPECT_EQ(p.status, 128 + SIGINT) << p.err;
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(times_masked(p.out), road_to_solver(poisson_banner, 321, 321, dirichlet_all));
    EXPECT_TRUE(p.files().empty());
}

// The answer of a run that exits 0 against a direct solve of its assembled system.
TEST(PoissonProgram, AgreesWithADirectSolve)
{
    expect_direct_agreement("poisson", "SINSIN.dat", sizes(3, 3, 5, 5), 1.0);
}

struct bad_input {
    char const* input;
    char const* named;  // what the message must name
};

TEST(ProgramInput, BadSizesAreRefusedBeforeAnythingIsBuilt)
{
    const bad_input cases[] = {
        {"abc 2 2 2\n", "\"abc\""},
        {"2 2 4 4x\n", "\"4x\""},
        {"-1 2 2 2\n", "\"-1\""},
        {"+3 2 2 2\n", "\"+3\""},
        {"2 0 2 2\n", "\"0\""},
        {"2 2 1.5 2\n", "\"1.5\""},
        {"1e3 2 2 2\n", "\"1e3\""},
        {"4294967296 2 2 2\n", "4294967296"},
        {"99999999999999999999999 1 1 1\n", "99999999999999999999999"},
        {"", "elements in y-direction"},
        {"2 2 4\n", "degree of interpolation in x-direction"},
        {"100000 100000 1 1\n", "degrees of freedom"},      // dim beyond 32 bits
        {"1 4294967295 1 1\n", "degrees of freedom"},       // xdim beyond 32 bits
        {"2000 2000 8 8\n", "element matrix entries"},      // element matrices beyond 32 bits
        {"1000 1000 7 7\n", "memory"},                      // about 33 GB of element matrices
    };
    for (bad_input const& c : cases) {
        SCOPED_TRACE(c.input);
        if (std::string(c.input) == "1000 1000 7 7\n" && available_memory("").bytes > 34e9) continue;
        program_run p;
        p.run("poisson", c.input);
        EXPECT_EQ(p.status, 1);
        EXPECT_EQ(p.err.rfind("error: ", 0), 0u) << p.err;
        EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
        EXPECT_EQ(p.err.back(), '\n');
        EXPECT_NE(p.err.find(c.named), std::string::npos) << p.err;
        EXPECT_EQ(p.out.find("matrix alocated"), std::string::npos) << p.out;
        EXPECT_TRUE(p.files().empty());
    }
}

struct problem_program {
    char const* program;
    std::string banner;  // with the viscosity line
    std::string bc_lines;
    char const* file;
};

TEST(ProblemPrograms, ConsoleAndSolutionFile)
{
    const std::string convdiff_banner =
        "Solved problem: convection-diffusion equation with point source\n"
        "\ncomputational domain: (0,1)x(0,1)\n";
    const std::string convdiff_bc =
        "Boundary condition\nDirichlet b.c. UP\nDirichlet b.c. DOWN\nDirichlet b.c. LEFT\n"
        "Neumann b.c. RIGHT\n";
    const problem_program cases[] = {
        {"convdiff01", convdiff_banner + "viscosity: 0.01\n", convdiff_bc, "SINGUL_01.dat"},
        {"convdiff001", convdiff_banner + "viscosity: 0.001\n", convdiff_bc, "SINGUL_001.dat"},
        {"poiseuille",
         "Solved problem: Heat transfer in Poiseuille flow\n"
         "with right hand side f(x,y)=0"
         "\ncomputational domain: (0,750)x(0,1)\n"
         "viscosity: 0.002\n",
         "Boundary condition\nDirichlet b.c. UP\nNeumann b.c. DOWN\nDirichlet b.c. LEFT\n"
         "Neumann b.c. RIGHT\n",
         "POISEUILLE.dat"},
    };
    const double length[] = {1.0, 1.0, 750.0};
    int k = 0;
    for (problem_program const& c : cases) {
        SCOPED_TRACE(c.program);
        program_run p;
        p.run(c.program, "2 3 2 2\n");
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.err, "");
        std::string console = masked(times_masked(p.out), "Number of iterations:", "0123456789");
        console = masked(masked(console, "maximum:"), "minimum:");
        EXPECT_EQ(console, road_to_solver(c.banner, 7, 5, c.bc_lines) +
                               "     Number of iterations:#\n"
                               "     Time of solving system=#s\n\n"
                               "\nsolution has\n"
                               "maximum:#\n"
                               "minimum:#\n\n"
                               "\nTotal time: #s\n");
        EXPECT_EQ(p.files(), std::vector<std::string>{c.file});
        solution rows = read_solution(p.dir / c.file, 7, 5);
        ASSERT_EQ(rows.size(), 5u);
        EXPECT_EQ(rows[0][0].x, 0.0);
        EXPECT_EQ(rows[0][0].y, 1.0);
        EXPECT_EQ(rows[4][6].x, length[k]);
        EXPECT_EQ(rows[4][6].y, 0.0);
        expect_report_of(p.out, rows);
        ++k;
    }
}

// One element row of three elements of degree 1 on the 750 long channel.
TEST(PoiseuilleProgram, OneByThreeElementsOfDegreeOne)
{
    program_run p;
    p.run("poiseuille", "1 3 1 1\n");
    EXPECT_EQ(p.status, 0) << p.err;
    std::istringstream file(slurp(p.dir / "POISEUILLE.dat"));
    std::string line;
    for (char const* y : {"1.000000000000000", "0.000000000000000"}) {
        for (char const* x : {"0.000000000000000", "250.000000000000000", "500.000000000000000",
                              "750.000000000000000"}) {
            ASSERT_TRUE(std::getline(file, line));
            EXPECT_EQ(line.substr(0, line.rfind(' ')), std::string(x) + " " + y);
        }
        ASSERT_TRUE(std::getline(file, line));
        EXPECT_EQ(line, "");
    }
    EXPECT_FALSE(std::getline(file, line));
}

// The wall (up) is held at 1, the inlet (left) at 0, and the flow takes up the wall's heat on its
// way: along the axis (down) the solution rises from the end of the first element to the outlet.
TEST(PoiseuilleProgram, WallHeatsTheFlowDownstream)
{
    program_run p;
    p.run("poiseuille", "2 10 4 4\n");
    ASSERT_EQ(p.status, 0) << p.err;
    const unsigned int xdim = 41, ydim = 9;
    solution rows = read_solution(p.dir / "POISEUILLE.dat", xdim, ydim);
    ASSERT_EQ(rows.size(), ydim);
    for (unsigned int c = 1; c < xdim; ++c) EXPECT_NEAR(rows[0][c].u, 1.0, 1e-12) << "column " << c;
    for (unsigned int r = 0; r < ydim; ++r) EXPECT_NEAR(rows[r][0].u, 0.0, 1e-12) << "row " << r;
    std::vector<node> const& axis = rows[ydim - 1];
    for (unsigned int c = 4; c + 1 < xdim; ++c)
        EXPECT_LT(axis[c].u, axis[c + 1].u) << "x=" << axis[c].x;
    EXPECT_GT(axis[1].u, -0.01);
    EXPECT_GT(axis[xdim - 1].u, 0.5);
    EXPECT_LT(axis[xdim - 1].u, 1.0);
    for (auto const& row : rows)
        for (node const& n : row) EXPECT_LT(n.u, 1.0 + 1e-12);
}

struct source_case {
    char const* program;
    char const* file;
    unsigned int elements, deg;
};

// The point source at x = 0.25, y = 0.75 is the peak, and the flow carries it towards +x: each
// node downstream of it in its row holds more than the node as far upstream.
TEST(ConvectionDiffusionPrograms, SourcePeaksAndIsCarriedDownstream)
{
    const source_case cases[] = {
        {"convdiff01", "SINGUL_01.dat", 8, 4},
        {"convdiff001", "SINGUL_001.dat", 16, 4},  // finer: the viscosity is ten times smaller
    };
    for (source_case const& c : cases) {
        SCOPED_TRACE(c.program);
        program_run p;
        std::string n = std::to_string(c.elements), d = std::to_string(c.deg);
        p.run(c.program, n + " " + n + " " + d + " " + d + "\n");
        ASSERT_EQ(p.status, 0) << p.err;
        const unsigned int dim = c.elements * c.deg + 1;
        solution rows = read_solution(p.dir / c.file, dim, dim);
        ASSERT_EQ(rows.size(), dim);
        const unsigned int s = dim / 4;  // mesh row and column of the source
        EXPECT_EQ(rows[s][s].x, 0.25);
        EXPECT_EQ(rows[s][s].y, 0.75);
        for (unsigned int r = 0; r < dim; ++r)
            for (unsigned int q = 0; q < dim; ++q)
                if (r != s || q != s) {
                    EXPECT_LT(rows[r][q].u, rows[s][s].u) << r << "," << q;
                }
        EXPECT_NE(p.out.find("i.e. node [i,j]=[" + std::to_string(s) + "," + std::to_string(s) +
                             "]\nminimum:"),
                  std::string::npos)
            << p.out;
        for (unsigned int k = 1; k <= s; ++k)
            EXPECT_GT(rows[s][s + k].u, rows[s][s - k].u) << k << " nodes from the source";
        expect_report_of(p.out, rows);
    }
}

struct stop_case {
    char const* program;
    char const* input;
    char const* file;
    int status;
};

// Runs the solver cannot take to 1e-16: stopped at the limit of rounding (a line on the console,
// status 0) or far from a solution (a line on standard error, status 3). Either way the report
// is complete and the file holds the best iterate, which is finite.
TEST(ProgramSolver, RunsShortOfTheToleranceSaySo)
{
    const stop_case cases[] = {
        {"convdiff001", "6 6 2 2\n", "SINGUL_001.dat", 0},
        {"poiseuille", "1 200 1 8\n", "POISEUILLE.dat", 3},
    };
    for (stop_case const& c : cases) {
        SCOPED_TRACE(c.program + std::string(" ") + c.input);
        program_run p;
        p.run(c.program, c.input);
        EXPECT_EQ(p.status, c.status) << p.err;
        const std::string said = c.status == 0 ? p.out : p.err;
        const std::string line =
            c.status == 0 ? "\n     Tolerance 1e-16 is below what double precision reaches here;"
                            " stopped at relative residual |Ax-b|/|b|="
                          : "error: the solver did not converge; the solution file holds its best"
                            " iterate, relative residual |Ax-b|/|b|=";
        std::size_t at = said.find(line);
        ASSERT_NE(at, std::string::npos) << said;
        double relative = std::atof(said.c_str() + at + line.size());
        if (c.status == 0) {
            EXPECT_EQ(p.err, "");
            EXPECT_GT(relative, 0.0);
            EXPECT_LE(relative, 1e-12);
        } else {
            EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
            // A backward error above the limit; |(|A||x| + |b|)| is at least |b|.
            EXPECT_GT(relative, bicgstab_floor * bicgstab_unit_roundoff);
            EXPECT_EQ(p.out.find("Tolerance"), std::string::npos);
        }
        EXPECT_NE(p.out.find("\nsolution has\nmaximum:"), std::string::npos) << p.out;
        EXPECT_NE(p.out.find("\nTotal time: "), std::string::npos) << p.out;
        std::string text = slurp(p.dir / c.file);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(text.find("nan"), std::string::npos);
        EXPECT_EQ(text.find("inf"), std::string::npos);
    }
}

}  // namespace
