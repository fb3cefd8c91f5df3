// convdiff001: convection-diffusion with a point source, viscosity 0.001, by spectral elements.
// Reads ney nex ydeg xdeg, writes SINGUL_001.dat (x y u per node).
//
//   echo "8 8 4 4" | convdiff001
#include "core/sem.h"
#include "problems/convdiff01/convdiff.h"

bool gnp_data(indices ix, double const* solution, coo** msh)
{
    return write_solution(ix, solution, msh, "SINGUL_001.dat");
}

int main(int, char**)
{
    const problem convdiff001 = {convdiff_banner, true, 0.001, fill_matrix, fill_rhs, bc, gnp_data};
    return run(convdiff001);
}
