// Dirichlet conditions on the unassembled system.
//
// For every boundary node B of every element E on a side: B's load becomes the side's value, B's
// row and column in E are cleared, the column's share of the value is lifted into the loads of
// E's other nodes, and B gets a diagonal entry: 0.5 where E shares B with its neighbour along the
// side (so the assembled diagonal is 1), 1.0 elsewhere. The load is edited in place: it stands for
// the same nodes as a separate copy would and is visited in the same order.
#include <iostream>

#include "core/sem.h"

namespace {

char const* const side_name[4] = {"UP", "DOWN", "LEFT", "RIGHT"};

void side_pass(indices ix, double****** M, double* rhs, side s, double v)
{
    const bool along_x = (s == UP || s == DOWN);
    const unsigned int elements = along_x ? ix.nex : ix.ney;  // elements along the side
    const unsigned int deg = along_x ? ix.xdeg : ix.ydeg;     // last local index along the side
    for (unsigned int e = 0; e < elements; ++e) {
        unsigned int ny = along_x ? (s == UP ? 0 : ix.ney - 1) : e;
        unsigned int nx = along_x ? e : (s == LEFT ? 0 : ix.nex - 1);
        double**** Me = M[ny][nx];
        for (unsigned int t = 0; t <= deg; ++t) {
            // Boundary node B = (bq, bp) of the element.
            unsigned int bq = along_x ? (s == UP ? 0 : ix.ydeg) : t;
            unsigned int bp = along_x ? t : (s == LEFT ? 0 : ix.xdeg);
            double& load = rhs[(ix.ydeg * ny + bq) * ix.xdim + ix.xdeg * nx + bp];
            load = v;
            for (unsigned int q = 0; q <= ix.ydeg; ++q) {
                for (unsigned int p = 0; p <= ix.xdeg; ++p) {
                    Me[bq][bp][q][p] = 0.0;
                    double& other = rhs[(ix.ydeg * ny + q) * ix.xdim + ix.xdeg * nx + p];
                    other = other - Me[q][p][bq][bp] * load;
                    Me[q][p][bq][bp] = 0.0;
                }
            }
            Me[bq][bp][bq][bp] = 1.0;
            bool shared = (t == deg && e != elements - 1) || (e != 0 && t == 0);
            if (shared) Me[bq][bp][bq][bp] = 0.5;
        }
    }
}

}  // namespace

void impose_sides(indices ix, double****** M, double* rhs, side_condition const plan[4])
{
    std::cout << "Boundary condition\n";
    for (int s = UP; s <= RIGHT; ++s) {
        if (plan[s].dirichlet) {
            std::cout << "Dirichlet b.c. " << side_name[s] << "\n";
            side_pass(ix, M, rhs, static_cast<side>(s), plan[s].value);
        } else {
            std::cout << "Neumann b.c. " << side_name[s] << "\n";
        }
    }
}
