// convdiff01: convection-diffusion with a point source, viscosity 0.01, by spectral elements.
// Reads ney nex ydeg xdeg, writes SINGUL_01.dat (x y u per node).
//
//   echo "8 8 4 4" | convdiff01
#include "core/sem.h"
#include "problems/convdiff01/convdiff.h"

bool gnp_data(indices ix, double const* solution, coo** msh)
{
    return write_solution(ix, solution, msh, "SINGUL_01.dat");
}

int main(int, char**)
{
    const problem convdiff01 = {convdiff_banner, true, 0.01, fill_matrix, fill_rhs, bc, gnp_data};
    return run(convdiff01);
}
