// Plain transcriptions of the quadrature loop and of the matrix-free product: every dfi and dxdy
// called where the formula names it, every sum in its stated order. The optimised stages must agree
// with these bit for bit.
#ifndef TESTS_LITERAL_H
#define TESTS_LITERAL_H

#include "core/sem.h"

void literal_fill_matrices(indices ix, double****** M, i_tab** nodes, coo** msh, double eta,
                           velocity_profile velocity);
void literal_mult(indices ix, double****** const M, double const* inn, double* out);
// The same loop over |M| and |inn|.
void literal_mult_abs(indices ix, double****** const M, double const* inn, double* out);

#endif
