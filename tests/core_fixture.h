// Small helpers shared by the core's unit tests: the sizes record, a node table with its mesh, a
// temporary domain length, a silenced console and a private working directory.
#ifndef TESTS_CORE_FIXTURE_H
#define TESTS_CORE_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "core/sem.h"
#include "core/storage.h"

// The record as the driver fills it.
inline indices sizes(unsigned int ney, unsigned int nex, unsigned int ydeg, unsigned int xdeg)
{
    unsigned int ydim = ney * ydeg + 1;
    unsigned int xdim = nex * xdeg + 1;
    return indices{ney, nex, ydeg, xdeg, ydim, xdim, xdim * ydim};
}

// Node table and mesh of one discretisation, built by the core.
struct discretisation {
    indices ix;
    grid<i_tab> table;
    grid<coo> mesh;

    explicit discretisation(indices sizes_)
        : ix(sizes_), table(ix.ydeg + 1, ix.xdeg + 1), mesh(ix.ydim, ix.xdim)
    {
        pre_table(ix, table.get());
        gen_mesh(ix, table.get(), mesh.get());
    }
    i_tab** nodes() const { return table.get(); }
    coo** msh() const { return mesh.get(); }
};

// Number of doubles of the element matrix array.
inline std::size_t matrix_size(indices ix)
{
    std::size_t n = std::size_t(ix.ydeg + 1) * (ix.xdeg + 1);
    return std::size_t(ix.ney) * ix.nex * n * n;
}

// Equal bit for bit (signed zeros and NaNs included).
inline bool same_bits(std::vector<double> const& a, std::vector<double> const& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// n values drawn uniformly from (-range, range).
inline std::vector<double> random_values(std::size_t n, std::mt19937_64& rng, double range = 1.0)
{
    std::uniform_real_distribution<double> u(-range, range);
    std::vector<double> v(n);
    for (double& x : v) x = u(rng);
    return v;
}

// Sets the right end of the domain for one scope (the long channel is 750 long).
struct domain_length {
    double saved;
    explicit domain_length(double length) : saved(b1) { b1 = length; }
    ~domain_length() { b1 = saved; }
    domain_length(domain_length const&) = delete;
    domain_length& operator=(domain_length const&) = delete;
};

// Runs a stage with standard output captured and returns what it printed.
template <class F>
std::string console_of(F&& stage)
{
    testing::internal::CaptureStdout();
    stage();
    return testing::internal::GetCapturedStdout();
}

// Runs a stage with its console output discarded.
template <class F>
void quietly(F&& stage)
{
    (void)console_of(stage);
}

// A file's bytes ("" when it cannot be read).
inline std::string slurp(std::filesystem::path const& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Writes `text` as the file's whole content, making its directory where needed.
inline void put_file(std::filesystem::path const& file, std::string const& text)
{
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

// The new files a writer left beside its targets in `dir` (NAME.partial-XXXXXX).
inline std::vector<std::string> partial_files(std::filesystem::path const& dir)
{
    std::vector<std::string> names;
    for (auto const& entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename();
        if (name.find(".partial-") != std::string::npos) names.push_back(name);
    }
    return names;
}

// The system of one discretisation as the driver hands it to the solver: the element matrices and
// the load after the boundary conditions, built by the stages of the program the test links.
struct program_system {
    discretisation disc;
    element_matrices matrix;
    std::vector<double> b;

    program_system(indices ix, double eta) : disc(ix), matrix(ix), b(ix.dim)
    {
        quietly([&] {
            fill_matrix(ix, matrix.get(), disc.nodes(), disc.msh(), eta);
            fill_rhs(ix, b.data(), disc.nodes(), disc.msh());
            bc(ix, matrix.get(), b.data(), disc.msh(), eta);
        });
    }
    double****** M() const { return matrix.get(); }
    std::vector<double> entries() const
    {
        return std::vector<double>(matrix.data.get(), matrix.data.get() + matrix_size(disc.ix));
    }
};

// A fresh, empty working directory for one test; the previous one is restored and the directory
// removed afterwards (ctest runs tests in parallel, each writing files of the same names).
struct scratch_dir {
    std::filesystem::path previous;
    std::filesystem::path path;

    scratch_dir()
    {
        std::error_code ec;
        previous = std::filesystem::current_path(ec);
        std::string pattern =
            (std::filesystem::temp_directory_path(ec) / "sem_test_XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data())) path = name.data();
        EXPECT_FALSE(path.empty()) << "no temporary directory";
        std::filesystem::current_path(path, ec);
        EXPECT_FALSE(ec) << ec.message();
    }
    ~scratch_dir()
    {
        std::error_code ec;
        std::filesystem::current_path(previous, ec);
        EXPECT_FALSE(ec) << ec.message();
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    scratch_dir(scratch_dir const&) = delete;
    scratch_dir& operator=(scratch_dir const&) = delete;
};

#endif
