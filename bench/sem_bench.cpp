// Benchmarks of the stages on the Poisson problem's own matrices, of the whole programs, and the
// ratios of the performance targets, each taken against a reference measured in the same run:
//
//   mult on matrices beyond the last-level cache  >= 0.80 of a streaming read of as many bytes
//   mult on matrices that fit in cache            >= 0.50 of the same read in cache
//   fill_matrix                                   <= 10 times one mult on the same mesh
//   one bicgstab iteration                        <= 1.25 times two mult
//   peak memory of a whole run                    <= 1.1 (matrices + nodal vectors) + 16 MiB
//
//   build/bench/sem_bench                  everything, then the table of ratios
//   build/bench/sem_bench --benchmark_filter=mult
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <streambuf>
#include <string>
#include <vector>

#include "core/mult.h"
#include "core/sem.h"
#include "core/storage.h"
#include "lsolver/bicgstab"
#include "lsolver/cblas"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SEM_X86 1
#endif

namespace {

const double MiB = 1024.0 * 1024.0;

// Swallows the stages' progress lines while they are benchmarked.
struct null_buffer : std::streambuf {
    int overflow(int c) override { return c; }
};

struct quiet {
    null_buffer sink;
    std::streambuf* saved;
    quiet() : saved(std::cout.rdbuf(&sink)) {}
    ~quiet() { std::cout.rdbuf(saved); }
};

struct mesh_size {
    unsigned int ney, nex, ydeg, xdeg;
    bool operator==(mesh_size const& o) const
    {
        return ney == o.ney && nex == o.nex && ydeg == o.ydeg && xdeg == o.xdeg;
    }
};

std::string label(mesh_size m)
{
    return std::to_string(m.ney) + "x" + std::to_string(m.nex) + "_deg" + std::to_string(m.ydeg) +
           "x" + std::to_string(m.xdeg);
}

indices sizes(mesh_size m)
{
    unsigned int xdim = m.nex * m.xdeg + 1;
    unsigned int ydim = m.ney * m.ydeg + 1;
    return indices{m.ney, m.nex, m.ydeg, m.xdeg, ydim, xdim, xdim * ydim};
}

// The Poisson problem's system as the driver builds it.
struct poisson_system {
    indices ix;
    grid<i_tab> nodes;
    grid<coo> mesh;
    element_matrices M;
    std::unique_ptr<double[]> rhs;

    explicit poisson_system(indices i)
        : ix(i), nodes(i.ydeg + 1, i.xdeg + 1), mesh(i.ydim, i.xdim), M(i),
          rhs(make_array<double>(i.dim))
    {
        quiet q;
        pre_table(ix, nodes.get());
        gen_mesh(ix, nodes.get(), mesh.get());
        fill_matrix(ix, M.get(), nodes.get(), mesh.get(), 1.0);
        fill_rhs(ix, rhs.get(), nodes.get(), mesh.get());
        bc(ix, M.get(), rhs.get(), mesh.get(), 1.0);
    }
};

// The last system built; benchmarks on one mesh follow each other, so one is kept at a time.
poisson_system& system_of(mesh_size m)
{
    static std::unique_ptr<poisson_system> last;
    static mesh_size last_size{0, 0, 0, 0};
    if (!last || !(last_size == m)) {
        last.reset();
        last = std::make_unique<poisson_system>(sizes(m));
        last_size = m;
    }
    return *last;
}

// The reference: a plain read of every double of an array, with eight independent 256-bit
// accumulators so that neither the adds' latency nor the loop limits it, only the memory.
#ifdef SEM_X86
__attribute__((target("avx2"))) double read_avx2(double const* a, std::size_t n)
{
    __m256d s[8];
    for (auto& x : s) x = _mm256_setzero_pd();
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32)
        for (int k = 0; k < 8; ++k) s[k] = _mm256_add_pd(s[k], _mm256_loadu_pd(a + i + 4 * k));
    for (int k = 1; k < 8; ++k) s[0] = _mm256_add_pd(s[0], s[k]);
    double lanes[4];
    _mm256_storeu_pd(lanes, s[0]);
    double t = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    for (; i < n; ++i) t += a[i];
    return t;
}
#endif

double read_portable(double const* a, std::size_t n)
{
    double s[8] = {};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (int k = 0; k < 8; ++k) s[k] += a[i + k];
    for (; i < n; ++i) s[0] += a[i];
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

double streaming_read(double const* a, std::size_t n)
{
#ifdef SEM_X86
    if (mult_kernel_available(mult_kernel::avx2)) return read_avx2(a, n);
#endif
    return read_portable(a, n);
}

std::size_t matrix_doubles(mesh_size m)
{
    return static_cast<std::size_t>(element_matrix_doubles(sizes(m)));
}

void bm_read(benchmark::State& state, mesh_size m)
{
    // Allocated as the element matrices are (on huge pages where they are), so that the read and
    // the product meet the same address translation.
    const std::size_t n = matrix_doubles(m);
    auto a = matrix_block(n);
    for (std::size_t i = 0; i < n; ++i) a[i] = 1.0;
    for (auto _ : state) benchmark::DoNotOptimize(streaming_read(a.get(), n));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * int64_t(n * sizeof(double)));
}

// The product as the programs take it, on the storage record, or with `pointers` through the
// record's pointer array, every row pointer checked against the block.
void bm_mult(benchmark::State& state, mesh_size m, mult_kernel k, bool pointers)
{
    if (!mult_kernel_available(k)) {
        state.SkipWithError("kernel not available on this processor");
        return;
    }
    poisson_system& p = system_of(m);
    std::vector<double> x(p.ix.dim), y(p.ix.dim);
    for (unsigned int i = 0; i < p.ix.dim; ++i) x[i] = std::sin(0.001 * i);
    for (auto _ : state) {
        if (pointers)
            mult_with(k, p.ix, p.M.get(), x.data(), y.data());
        else
            mult_with(k, p.ix, p.M, x.data(), y.data());
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            int64_t(matrix_doubles(m) * sizeof(double)));
}

void bm_fill(benchmark::State& state, mesh_size m)
{
    poisson_system& p = system_of(m);
    quiet q;
    for (auto _ : state) {
        fill_matrix(p.ix, p.M.get(), p.nodes.get(), p.mesh.get(), 1.0);
        benchmark::ClobberMemory();
    }
    // Leave the system as the driver has it when it solves.
    for (unsigned int i = 0; i < p.ix.dim; ++i) p.rhs[i] = 0.0;
    fill_rhs(p.ix, p.rhs.get(), p.nodes.get(), p.mesh.get());
    bc(p.ix, p.M.get(), p.rhs.get(), p.mesh.get(), 1.0);
}

// The solver runs through its public form on an operator that counts its products and stops the
// solve by an exception after a given number of iterations (one product before the loop, two in
// each iteration), so that the time of k iterations is measured without touching the solver. The
// difference of two such counts cancels the set-up.
struct solver_stopped {};

struct counted_operator {
    element_matrices const* M;
    long* products;
    long limit;
};

void mult(indices ix, counted_operator const& A, double const* in, double* out)
{
    if (++*A.products > A.limit) throw solver_stopped{};
    ::mult(ix, *A.M, in, out);
}

// The scale of a fresh residual, only at the solver's checkpoints: part of the time of the
// iterations, not one of their products.
void mult_abs(indices ix, counted_operator const& A, double const* in, double* out)
{
    ::mult_abs(ix, *A.M, in, out);
}

void bm_bicgstab(benchmark::State& state, mesh_size m, long iterations)
{
    poisson_system& p = system_of(m);
    std::vector<double> x(p.ix.dim);
    for (auto _ : state) {
        std::fill(x.begin(), x.end(), 0.0);
        long products = 0;
        counted_operator A{&p.M, &products, 1 + 2 * iterations};
        bool stopped = false;
        try {
            bicgstab(p.ix, p.ix.dim, A, p.rhs.get(), x.data(), 0.0);
        } catch (solver_stopped const&) {
            stopped = true;
        }
        if (!stopped) {
            state.SkipWithError("the solver stopped before the given number of iterations");
            break;
        }
        benchmark::DoNotOptimize(x.data());
    }
    state.counters["its"] = static_cast<double>(iterations);
}

// The work of one iteration without the solver's control: two products and the vector operations
// (5 ddot, 8 daxpy, 1 dscal, 3 dcopy of N, the last dcopy into a best iterate).
void bm_iteration_work(benchmark::State& state, mesh_size m)
{
    poisson_system& p = system_of(m);
    const int n = static_cast<int>(p.ix.dim);
    std::vector<double> r(n), rT(n), d(n), h(n), Ad(n), t(n), x(n), best(n);
    for (int i = 0; i < n; ++i) {
        r[i] = std::sin(0.1 * i);
        rT[i] = std::cos(0.3 * i);
        d[i] = std::sin(0.001 * i);
        h[i] = 1.0;
    }
    element_matrices const& M = p.M;
    for (auto _ : state) {
        mult(p.ix, M, d.data(), Ad.data());
        double a = ddot(n, rT.data(), 1, Ad.data(), 1);
        daxpy(n, -1e-9, Ad.data(), 1, r.data(), 1);
        dcopy(n, h.data(), 1, h.data(), 1);
        daxpy(n, -1e-9, Ad.data(), 1, h.data(), 1);
        mult(p.ix, M, h.data(), t.data());
        a += ddot(n, h.data(), 1, t.data(), 1);
        a += ddot(n, t.data(), 1, t.data(), 1);
        daxpy(n, -1e-9, t.data(), 1, r.data(), 1);
        daxpy(n, -1e-9, d.data(), 1, x.data(), 1);
        daxpy(n, -1e-9, h.data(), 1, x.data(), 1);
        dcopy(n, h.data(), 1, h.data(), 1);
        daxpy(n, -1e-9, t.data(), 1, h.data(), 1);
        a += ddot(n, rT.data(), 1, h.data(), 1);
        dscal(n, 0.999999, d.data(), 1);
        daxpy(n, 1e-9, h.data(), 1, d.data(), 1);
        daxpy(n, 1e-9, Ad.data(), 1, d.data(), 1);
        a += ddot(n, r.data(), 1, r.data(), 1);
        dcopy(n, x.data(), 1, best.data(), 1);
        benchmark::DoNotOptimize(a);
        benchmark::ClobberMemory();
    }
}

// One run of a program as a child process, fed the four sizes, in a directory of its own.
struct program_run {
    double seconds = 0;
    double peak_bytes = 0;
    int status = -1;
};

program_run run_program(std::string const& program, mesh_size m)
{
    program_run result;
    char dir[] = "/tmp/sem_bench_XXXXXX";
    if (!mkdtemp(dir)) return result;
    std::string path = std::string(SEM_BINARY_DIR) + "/" + program;
    std::string input = std::to_string(m.ney) + "\n" + std::to_string(m.nex) + "\n" +
                        std::to_string(m.ydeg) + "\n" + std::to_string(m.xdeg) + "\n";
    int fd[2];
    if (pipe(fd) != 0) return result;
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fd[0], STDIN_FILENO);
        close(fd[0]);
        close(fd[1]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (chdir(dir) != 0) _exit(126);
        execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fd[0]);
    ssize_t written = write(fd[1], input.data(), input.size());
    (void)written;
    close(fd[1]);
    int status = 0;
    rusage usage{};
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
        auto t1 = std::chrono::steady_clock::now();
        result.seconds = std::chrono::duration<double>(t1 - t0).count();
        result.peak_bytes = 1024.0 * static_cast<double>(usage.ru_maxrss);  // kilobytes
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return result;
}

// Bytes a run must hold: the element matrices' entries and the nodal vectors (load, solution and
// the solver's work vectors).
const double nodal_vectors = 2.0 + bicgstab_work_vectors;

double needed_bytes(mesh_size m)
{
    indices ix = sizes(m);
    return 8.0 * element_matrix_doubles(ix) + 8.0 * nodal_vectors * ix.dim;
}

void bm_run(benchmark::State& state, std::string program, mesh_size m)
{
    program_run last;
    for (auto _ : state) {
        last = run_program(program, m);
        if (last.status != 0 && last.status != 3) {
            state.SkipWithError("the program did not complete");
            break;
        }
        state.SetIterationTime(last.seconds);
    }
    state.counters["peak_MiB"] = last.peak_bytes / MiB;
    state.counters["bound_MiB"] = (1.1 * needed_bytes(m) + 16.0 * MiB) / MiB;
    state.counters["needed_MiB"] = needed_bytes(m) / MiB;
    state.counters["pointers_MiB"] = 8.0 * element_matrix_pointers(sizes(m)) / MiB;
}

// Prints like the console reporter and keeps every run's seconds per iteration and counters.
struct recorder : benchmark::ConsoleReporter {
    struct result {
        double seconds;
        std::map<std::string, double> counters;
    };
    std::map<std::string, std::vector<result>> runs;

    void ReportRuns(std::vector<Run> const& reports) override
    {
        benchmark::ConsoleReporter::ReportRuns(reports);
        for (Run const& r : reports) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred || r.iterations == 0) continue;
            result x{r.real_accumulated_time / static_cast<double>(r.iterations), {}};
            for (auto const& c : r.counters) x.counters[c.first] = c.second.value;
            runs[r.run_name.function_name].push_back(x);
        }
    }

    // The fastest of the repetitions, the one least disturbed by the rest of the machine, or
    // nothing when the benchmark did not run.
    std::optional<result> get(std::string const& name) const
    {
        auto it = runs.find(name);
        if (it == runs.end() || it->second.empty()) return std::nullopt;
        return *std::min_element(it->second.begin(), it->second.end(),
                                 [](result const& a, result const& b) { return a.seconds < b.seconds; });
    }

    double seconds(std::string const& name) const
    {
        std::optional<result> r = get(name);
        return r ? r->seconds : std::nan("");
    }
};

const mesh_size usual{16, 16, 8, 8};    // poisson 16 16 8 8: 13.4 MB of matrices, in cache
const mesh_size channel{8, 200, 4, 4};  // the poiseuille run's mesh: 8 MB, in cache
const mesh_size large{64, 64, 8, 8};    // 215 MB, well beyond the 32 MiB of L3
const long few = 4, many = 20;          // the two solver lengths whose difference is measured

void print_row(std::string const& what, double value, char const* relation, double target)
{
    if (std::isnan(value)) return;
    bool ok = relation[0] == '>' ? value >= target : value <= target;
    std::printf("  %-58s %7.3f  %s %-5.2f %s\n", what.c_str(), value, relation, target,
                ok ? "met" : "MISSED");
}

std::string megabytes(mesh_size m)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", 8.0 * double(matrix_doubles(m)) / 1e6);
    return text;
}

void print_ratios(recorder const& rec)
{
    std::printf("\nratios, each against its reference measured in this run\n");
    for (mesh_size m : {large, usual, channel}) {
        double ratio = rec.seconds("read/" + label(m)) / rec.seconds("mult/" + label(m));
        bool beyond = m == large;
        print_row("(1) mult / streaming read (bytes/s), " + label(m) + ", " + megabytes(m) +
                      (beyond ? " beyond cache" : " in cache"),
                  ratio, ">=", beyond ? 0.80 : 0.50);
    }
    // What checking every row pointer costs a caller with a bare pointer array (no target).
    for (mesh_size m : {large, usual, channel}) {
        double cost = rec.seconds("mult_pointers/" + label(m)) / rec.seconds("mult/" + label(m));
        if (!std::isnan(cost))
            std::printf("  %-58s %7.3f\n",
                        ("    mult on the pointer array / mult, " + label(m)).c_str(), cost);
    }
    for (mesh_size m : {usual, channel})
        print_row("(2) fill_matrix / mult, " + label(m),
                  rec.seconds("fill_matrix/" + label(m)) / rec.seconds("mult/" + label(m)), "<=",
                  10.0);
    for (mesh_size m : {usual, channel}) {
        double two = 2.0 * rec.seconds("mult/" + label(m));
        double iteration = (rec.seconds("bicgstab/" + label(m) + "/" + std::to_string(many)) -
                            rec.seconds("bicgstab/" + label(m) + "/" + std::to_string(few))) /
                           double(many - few);
        print_row("(3) bicgstab iteration / 2 mult, " + label(m), iteration / two, "<=", 1.25);
        print_row("    (2 mult + vector work) / 2 mult, " + label(m),
                  rec.seconds("iteration_work/" + label(m)) / two, "<=", 1.25);
    }
    for (auto const& run : rec.runs) {
        if (run.first.rfind("run/", 0) != 0) continue;
        std::optional<recorder::result> r = rec.get(run.first);
        if (!r || !r->counters.count("peak_MiB")) continue;
        double peak = r->counters.at("peak_MiB");
        double bound = r->counters.at("bound_MiB");
        print_row("(4) peak memory / bound, " + run.first.substr(4), peak / bound, "<=", 1.0);
        std::printf("      %.1f MiB peak, bound %.1f MiB = 1.1 x %.1f MiB + 16 MiB; pointer levels %.1f MiB\n",
                    peak, bound, r->counters.at("needed_MiB"), r->counters.at("pointers_MiB"));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    // The whole programs first: a child's peak resident size counts the pages it had when it was
    // forked, so the runs go before this process holds any system of its own.
    const std::pair<char const*, mesh_size> runs[] = {{"poisson", usual}, {"poiseuille", channel}};
    for (auto const& run : runs)
        benchmark::RegisterBenchmark(("run/" + std::string(run.first) + "_" + label(run.second)).c_str(),
                                     bm_run, std::string(run.first), run.second)
            ->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
    const mult_kernel best = mult_best_kernel();
    for (mesh_size m : {usual, channel, large}) {
        benchmark::RegisterBenchmark(("read/" + label(m)).c_str(), bm_read, m)
            ->Unit(benchmark::kMillisecond)->Repetitions(5)->MinTime(0.2);
        benchmark::RegisterBenchmark(("mult/" + label(m)).c_str(), bm_mult, m, best, false)
            ->Unit(benchmark::kMillisecond)->Repetitions(5)->MinTime(0.2);
        benchmark::RegisterBenchmark(("mult_pointers/" + label(m)).c_str(), bm_mult, m, best, true)
            ->Unit(benchmark::kMillisecond)->Repetitions(5)->MinTime(0.2);
        if (best != mult_kernel::portable)
            benchmark::RegisterBenchmark(("mult_portable/" + label(m)).c_str(), bm_mult, m,
                                         mult_kernel::portable, false)
                ->Unit(benchmark::kMillisecond)->MinTime(0.2);
        if (m == large) continue;
        benchmark::RegisterBenchmark(("fill_matrix/" + label(m)).c_str(), bm_fill, m)
            ->Unit(benchmark::kMillisecond)->Repetitions(3)->MinTime(0.2);
        for (long its : {few, many})
            benchmark::RegisterBenchmark(("bicgstab/" + label(m) + "/" + std::to_string(its)).c_str(),
                                         bm_bicgstab, m, its)
                ->Unit(benchmark::kMillisecond)->Repetitions(5)->MinTime(0.2);
        benchmark::RegisterBenchmark(("iteration_work/" + label(m)).c_str(), bm_iteration_work, m)
            ->Unit(benchmark::kMillisecond)->Repetitions(5)->MinTime(0.2);
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    recorder rec;
    benchmark::RunSpecifiedBenchmarks(&rec);
    print_ratios(rec);
    benchmark::Shutdown();
    return 0;
}
