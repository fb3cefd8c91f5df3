// The check both convection programs' element matrices share: every entry is the plain quadrature
// with the program's velocity, and the transport (the difference from pure diffusion) stays within
// the test node's local row with vanishing row sums, so a constant is not transported.
#ifndef TESTS_TRANSPORT_CHECK_H
#define TESTS_TRANSPORT_CHECK_H

#include <cmath>
#include <cstddef>

#include "tests/core_fixture.h"
#include "tests/literal.h"

// still(ny, ss): whether the flow stands still on local row ss of element row ny (no transport).
inline void expect_transport(indices ix, double eta,
                             void (*program_fill_matrix)(indices, double******, i_tab**, coo**, double),
                             velocity_profile velocity, bool (*still)(unsigned int ny, unsigned int ss))
{
    SCOPED_TRACE(testing::Message() << ix.ney << " " << ix.nex << " " << ix.ydeg << " " << ix.xdeg);
    discretisation d(ix);
    element_matrices M(ix), L(ix), D(ix);
    quietly([&] {
        program_fill_matrix(ix, M.get(), d.nodes(), d.msh(), eta);
        fill_matrices(ix, D.get(), d.nodes(), d.msh(), eta, nullptr);
    });
    literal_fill_matrices(ix, L.get(), d.nodes(), d.msh(), eta, velocity);
    std::size_t n = matrix_size(ix);
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < n; ++i) mismatches += M.data[i] != L.data[i];
    EXPECT_EQ(mismatches, 0u);

    for (unsigned int ny = 0; ny < ix.ney; ++ny)
        for (unsigned int nx = 0; nx < ix.nex; ++nx)
            for (unsigned int ss = 0; ss <= ix.ydeg; ++ss)
                for (unsigned int rr = 0; rr <= ix.xdeg; ++rr) {
                    double** m = M.get()[ny][nx][ss][rr];
                    double** dd = D.get()[ny][nx][ss][rr];
                    double sum = 0.0, size = 0.0;
                    for (unsigned int qq = 0; qq <= ix.ydeg; ++qq)
                        for (unsigned int pp = 0; pp <= ix.xdeg; ++pp) {
                            double c = m[qq][pp] - dd[qq][pp];
                            if (qq != ss) { EXPECT_EQ(c, 0.0); }
                            sum += c;
                            size += std::fabs(c);
                        }
                    if (still(ny, ss)) {
                        EXPECT_EQ(size, 0.0);
                    } else {
                        EXPECT_GT(size, 0.0);
                    }
                    EXPECT_LE(std::fabs(sum), 1e-13 * size)
                        << "element " << ny << "," << nx << " test node " << ss << "," << rr;
                }
}

#endif
