#include "tests/literal.h"

#include <cmath>
#include <vector>

void literal_fill_matrices(indices ix, double****** M, i_tab** nodes, coo** msh, double eta,
                           velocity_profile velocity)
{
    for (int ny = 0; ny < int(ix.ney); ++ny) {
        for (int nx = 0; nx < int(ix.nex); ++nx) {
            double jac = msh[ix.ydeg * ny][ix.xdeg * nx].jac_inv;
            if (0 > jac) jac = -jac;
            for (int ss = 0; ss <= int(ix.ydeg); ++ss)
                for (int rr = 0; rr <= int(ix.xdeg); ++rr)
                    for (int qq = 0; qq <= int(ix.ydeg); ++qq)
                        for (int pp = 0; pp <= int(ix.xdeg); ++pp) {
                            double sum = 0.0;
                            if (qq == ss)
                                for (int kk = 0; kk <= int(ix.xdeg); ++kk)
                                    sum = nodes[ix.ydeg - ss][kk].w * jac *
                                              dxdy(ix, 2, 2, ny, kk, qq, nodes, msh) *
                                              dxdy(ix, 2, 2, ny, kk, qq, nodes, msh) *
                                              dfi(ix, kk, rr, 1, nodes) * dfi(ix, kk, pp, 1, nodes) +
                                          sum;
                            if (rr == pp)
                                for (int ll = 0; ll <= int(ix.ydeg); ++ll)
                                    sum = nodes[ix.ydeg - ll][rr].w * jac *
                                              dxdy(ix, 1, 1, nx, pp, ll, nodes, msh) *
                                              dxdy(ix, 1, 1, nx, pp, ll, nodes, msh) *
                                              dfi(ix, ll, ss, 2, nodes) * dfi(ix, ll, qq, 2, nodes) +
                                          sum;
                            sum = sum * eta;
                            if (velocity && ss == qq) {
                                double y = msh[ix.ydeg * ny + ss][ix.xdeg * nx + rr].y;
                                double a = velocity(y) * nodes[ss][rr].w;
                                double b = a * dxdy(ix, 2, 2, ny, rr, qq, nodes, msh);
                                double c = b * dfi(ix, rr, pp, 1, nodes);
                                sum = sum - c;
                            }
                            M[ny][nx][ss][rr][qq][pp] = sum;
                        }
        }
    }
}

namespace {

template <bool absolute>
void literal_product(indices ix, double****** const M, double const* inn, double* out)
{
    std::vector<double> in(inn, inn + ix.dim);
    for (unsigned int i = 0; i < ix.dim; ++i) out[i] = 0.0;
    for (unsigned int ny = 0; ny < ix.ney; ++ny)
        for (unsigned int nx = 0; nx < ix.nex; ++nx)
            for (unsigned int ii = 0; ii <= ix.ydeg; ++ii)
                for (unsigned int jj = 0; jj <= ix.xdeg; ++jj) {
                    double sum = 0.0;
                    for (unsigned int kk = 0; kk <= ix.ydeg; ++kk)
                        for (unsigned int ll = 0; ll <= ix.xdeg; ++ll) {
                            double m = M[ny][nx][ii][jj][kk][ll];
                            double v = in[(ix.ydeg * ny + kk) * ix.xdim + ix.xdeg * nx + ll];
                            if (absolute) {
                                m = std::fabs(m);
                                v = std::fabs(v);
                            }
                            sum = m * v + sum;
                        }
                    unsigned int g = (ix.ydeg * ny + ii) * ix.xdim + ix.xdeg * nx + jj;
                    out[g] = out[g] + sum;
                }
}

}  // namespace

void literal_mult(indices ix, double****** const M, double const* inn, double* out)
{
    literal_product<false>(ix, M, inn, out);
}

void literal_mult_abs(indices ix, double****** const M, double const* inn, double* out)
{
    literal_product<true>(ix, M, inn, out);
}
