// poiseuille: heat transfer in Poiseuille flow on (0,750)x(0,1), viscosity 0.002, by spectral
// elements. Reads ney nex ydeg xdeg, writes POISEUILLE.dat (x y u per node).
//
//   echo "4 50 4 4" | poiseuille
#include "problems/poiseuille/poiseuille.h"

int main(int, char**)
{
    return run(poiseuille_problem);
}
