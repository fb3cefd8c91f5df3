// poisson: -Laplace(u) = 8 pi^2 sin(2 pi x) sin(2 pi y) on the unit square, u = 0 on its sides,
// by spectral elements. Reads ney nex ydeg xdeg, writes SINSIN.dat (x y u per node).
//
//   echo "4 4 8 8" | poisson
#include "core/poisson.h"

int main(int, char**)
{
    return run(poisson_problem);
}
