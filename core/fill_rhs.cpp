// First pass of every load vector: the diagonal of the GLL mass matrix.
#include "core/sem.h"

// A node shared by several elements receives their contributions in element order.
void lumped_mass(indices ix, double* b, i_tab** nodes, coo** msh)
{
    for (unsigned int i = 0; i < ix.ney; ++i) {
        for (unsigned int j = 0; j < ix.nex; ++j) {
            double jac = msh[ix.ydeg * i][ix.xdeg * j].jac;
            if (0 > jac) jac = -jac;
            for (unsigned int k = 0; k <= ix.ydeg; ++k) {
                for (unsigned int l = 0; l <= ix.xdeg; ++l) {
                    unsigned int n = (ix.ydeg * i + k) * ix.xdim + ix.xdeg * j + l;
                    b[n] = nodes[k][l].w * jac + b[n];
                }
            }
        }
    }
}
