#include "core/driver.h"

#include <iomanip>
#include <iostream>

#include "core/clock.h"
#include "core/console.h"
#include "core/memory.h"
#include "core/sem.h"
#include "core/storage.h"
#include "lsolver/bicgstab"

namespace {

// The sizes must keep every count in the 32-bit arithmetic of the stages (and the degrees of
// freedom in the BLAS counts), and the run must fit the machine's memory.
bool sizes_fit(unsigned int ney, unsigned int nex, unsigned int ydeg, unsigned int xdeg)
{
    const double u32 = 4294967295.0;
    const double i32 = 2147483647.0;
    double xdim = double(nex) * double(xdeg) + 1.0;
    double ydim = double(ney) * double(ydeg) + 1.0;
    double dim = xdim * ydim;
    if (xdim > u32 || ydim > u32 || dim > i32) {
        std::cerr << "error: " << ney << " x " << nex << " elements of degree " << ydeg << " x "
                  << xdeg << " give " << std::fixed << std::setprecision(0) << dim
                  << " degrees of freedom; at most 2147483647 are supported\n";
        return false;
    }
    indices ix{ney, nex, ydeg, xdeg, 0, 0, 0};
    double entries = element_matrix_doubles(ix);
    if (entries > u32) {
        std::cerr << "error: " << ney << " x " << nex << " elements of degree " << ydeg << " x "
                  << xdeg << " give " << std::fixed << std::setprecision(0) << entries
                  << " element matrix entries; at most 4294967295 are supported (32-bit counts)\n";
        return false;
    }
    // Matrices with their pointer levels; load, solution and the solver's work vectors; the mesh
    // and the node table.
    double bytes = 8.0 * (entries + element_matrix_pointers(ix)) +
                   8.0 * (2.0 + bicgstab_work_vectors) * dim + 32.0 * dim +
                   24.0 * (ydeg + 1.0) * (xdeg + 1.0);
    memory_bound memory = available_memory("");
    if (!memory.what.empty() && bytes > memory.bytes) {
        char need[64];
        print_bytes(bytes, need, sizeof need);
        std::cerr << "error: " << ney << " x " << nex << " elements of degree " << ydeg << " x "
                  << xdeg << " need " << need << " of memory; " << memory.what << "\n";
        return false;
    }
    return true;
}

int road(problem const& p)
{
    // 1. Banner.
    std::cout << p.banner;
    if (p.viscosity_line) std::cout << "viscosity: " << p.eta << "\n";

    // 2. The four sizes.
    unsigned int ney, nex, ydeg, xdeg;
    std::cout << "\nenter number of elements in y-direction: " << std::flush;
    if (!read_size("number of elements in y-direction", ney)) return run_bad_input;
    std::cout << "enter number of elements in x-direction: " << std::flush;
    if (!read_size("number of elements in x-direction", nex)) return run_bad_input;
    std::cout << "enter degree of interpolation in y-direction: " << std::flush;
    if (!read_size("degree of interpolation in y-direction", ydeg)) return run_bad_input;
    std::cout << "enter degree of interpolation in x-direction: " << std::flush;
    if (!read_size("degree of interpolation in x-direction", xdeg)) return run_bad_input;
    double begin_time = clock_reading();
    if (!sizes_fit(ney, nex, ydeg, xdeg)) return run_bad_input;

    // 3. Derived sizes.
    unsigned int xdim = nex * xdeg + 1;
    unsigned int ydim = ney * ydeg + 1;
    unsigned int dim = xdim * ydim;
    std::cout << "\nnumber of nodes in x:" << xdim << "\nnumber of nodes in y:" << ydim
              << "\nnumber of degrees of freedom:" << xdim * ydim << "\n";
    indices idx{ney, nex, ydeg, xdeg, ydim, xdim, dim};

    // 4. Storage, all zeroed.
    grid<i_tab> el_nodes(ydeg + 1, xdeg + 1);
    grid<coo> mesh(ydim, xdim);
    auto sys_sol = make_array<double>(dim);
    auto sys_rhs = make_array<double>(dim);
    element_matrices matrix(idx);
    std::cout << "\nmatrix alocated\n";

    // 5. Node table, mesh, element matrices, load, boundary conditions.
    pre_table(idx, el_nodes.get());
    gen_mesh(idx, el_nodes.get(), mesh.get());
    p.fill_matrix(idx, matrix.get(), el_nodes.get(), mesh.get(), p.eta);
    p.fill_rhs(idx, sys_rhs.get(), el_nodes.get(), mesh.get());
    p.bc(idx, matrix.get(), sys_rhs.get(), mesh.get(), p.eta);

    // 6. Solve.
    std::cout << "\nBi-CGSTAB solver..\n";
    double t0_bicgstab = clock_reading();
    bicgstab_report report;
    // The storage itself is the operator: its product knows the layout of its matrices.
    int iter = bicgstab(idx, dim, matrix, sys_rhs.get(), sys_sol.get(), eps, false, report);
    if (report.status == bicgstab_status::out_of_memory) out_of_memory(8.0 * bicgstab_work_vectors * dim);
    std::cout << "     Number of iterations:" << iter << "\n";
    int status = run_ok;
    if (report.status == bicgstab_status::rounding_limit) {
        std::cout << "     Tolerance " << eps << " is below what double precision reaches here;"
                  << " stopped at relative residual |Ax-b|/|b|=" << report.relative_residual << "\n";
    } else if (report.status == bicgstab_status::no_convergence) {
        std::cout << std::flush;
        std::cerr << "error: the solver did not converge; the solution file holds its best"
                  << " iterate, relative residual |Ax-b|/|b|=" << report.relative_residual << "\n";
        status = run_not_converged;
    }
    double t1_bicgstab = clock_reading();
    std::cout << "     Time of solving system=" << clock_seconds(t1_bicgstab - t0_bicgstab)
              << "s\n\n";
    double end_time = clock_reading();

    // 7. Solution file.
    if (!p.gnp_data(idx, sys_sol.get(), mesh.get())) status = run_not_written;

    // 8. Extremes: the first largest and the last smallest value, top row first, left to right.
    double max = -1.7976931348623157e308;
    double min = 1.7976931348623157e308;
    double cxmax = 0, cymax = 0, cxmin = 0, cymin = 0;
    int cxmx = -1, cymx = -1, cxmn = -1, cymn = -1;
    coo** msh = mesh.get();
    for (unsigned int q = 0; q < ydim; ++q) {
        for (unsigned int pcol = 0; pcol < xdim; ++pcol) {
            double v = sys_sol[q * xdim + pcol];
            if (v > max) {
                max = v;
                cxmax = msh[q][pcol].x;
                cymax = msh[q][pcol].y;
                cxmx = int(pcol);
                cymx = int(q);
            }
            if (v <= min) {
                min = v;
                cxmin = msh[q][pcol].x;
                cymin = msh[q][pcol].y;
                cxmn = int(pcol);
                cymn = int(q);
            }
        }
    }
    std::cout << "\nsolution has\n";
    std::cout << "maximum:" << max << " in [x,y]=[" << cxmax << "," << cymax << "] i.e. node [i,j]=["
              << cxmx << "," << cymx << "]\n";
    std::cout << "minimum:" << min << " in [x,y]=[" << cxmin << "," << cymin << "] i.e. node [i,j]=["
              << cxmn << "," << cymn << "]\n\n";
    std::cout << "\nTotal time: " << clock_seconds(end_time - begin_time) << "s\n";

    return status;  // the storage releases itself here
}

}  // namespace

int run(problem const& p)
{
    console_start();
    int status = road(p);
    pause_console();
    // The file and the solver come first; a lost report still gets its line on standard error.
    if (!console_written() && status == run_ok) status = run_console_lost;
    return status;
}
