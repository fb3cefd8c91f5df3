// The road every program runs: read the sizes, build the node table and the mesh, fill the
// element matrices and the load, impose the boundary conditions, solve, write and report.
#ifndef CORE_DRIVER_H
#define CORE_DRIVER_H

#include "lsolver/Zorva"

// The data of one program. Its domain bounds are the globals a1, b1, a2, d2 it defines.
struct problem {
    char const* banner;     // everything written before the viscosity line and the first prompt
    bool viscosity_line;    // whether "viscosity: " and eta follow the banner
    double eta;             // viscosity, passed to fill_matrix and bc
    void (*fill_matrix)(indices, double******, i_tab**, coo**, double);
    void (*fill_rhs)(indices, double*, i_tab**, coo**);
    void (*bc)(indices, double******, double*, coo**, double);
    bool (*gnp_data)(indices, double const*, coo**);
};

// Exit status of a run.
enum run_status {
    run_ok = 0,                // solved (to eps, or as far as double precision allows) and written
    run_bad_input = 1,         // the sizes were refused, or memory could not be had
    run_not_written = 2,       // the solution file could not be written
    run_not_converged = 3,     // the solver stopped short; the file holds its best iterate
    run_console_lost = 4,      // all else went well, but the report did not reach standard output
};

int run(problem const& p);

#endif
