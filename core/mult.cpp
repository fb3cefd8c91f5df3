// Matrix-free product with the unassembled element matrices.
#include <cstring>

#include "core/platform.h"
#include "core/sem.h"

// out = sum over elements of M_e applied to the element's gathered values. Each element row is
// summed completely, trial nodes in order, before it is added to the output; shared nodes receive
// their contributions in element order. The input is copied first so that out may be inn.
void mult(indices ix, double****** const M, double const* inn, double* out)
{
    auto in = make_array<double>(ix.dim);
    std::memcpy(in.get(), inn, sizeof(double) * ix.dim);
    for (unsigned int i = 0; i < ix.dim; ++i) out[i] = 0.0;
    for (unsigned int ny = 0; ny < ix.ney; ++ny) {
        for (unsigned int nx = 0; nx < ix.nex; ++nx) {
            double const* base = &in[ix.ydeg * ny * ix.xdim + ix.xdeg * nx];
            for (unsigned int ii = 0; ii <= ix.ydeg; ++ii) {
                for (unsigned int jj = 0; jj <= ix.xdeg; ++jj) {
                    double** row = M[ny][nx][ii][jj];
                    double sum = 0.0;
                    for (unsigned int kk = 0; kk <= ix.ydeg; ++kk) {
                        double const* x = base + kk * ix.xdim;
                        for (unsigned int ll = 0; ll <= ix.xdeg; ++ll) sum = row[kk][ll] * x[ll] + sum;
                    }
                    double& o = out[(ix.ydeg * ny + ii) * ix.xdim + ix.xdeg * nx + jj];
                    o = o + sum;
                }
            }
        }
    }
}
