// The row kernels behind mult, named so that the equality tests and the benchmarks can run each
// one; mult itself takes the fastest that the processor offers.
#ifndef CORE_MULT_H
#define CORE_MULT_H

#include "lsolver/Zorva"

struct element_matrices;

enum class mult_kernel {
    portable,  // plain C++, four rows at a time
    avx2,      // 256-bit vectors, four rows to a register, up to 28 rows at a time
};

// Whether this processor runs the kernel.
bool mult_kernel_available(mult_kernel k);

// The kernel mult uses here.
mult_kernel mult_best_kernel();

// mult with the given kernel, which must be available.
void mult_with(mult_kernel k, indices ix, double****** const M, double const* inn, double* out);
void mult_with(mult_kernel k, indices ix, element_matrices const& M, double const* inn,
               double* out);

// mult_abs with the given kernel, which must be available.
void mult_abs_with(mult_kernel k, indices ix, double****** const M, double const* inn,
                   double* out);
void mult_abs_with(mult_kernel k, indices ix, element_matrices const& M, double const* inn,
                   double* out);

#endif
