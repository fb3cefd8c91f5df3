// The driver's objects, each one contiguous block of values with its pointer levels over it, so
// that the specified nested types (i_tab**, coo**, double******) index ordinary memory and the
// element matrices cost one allocation instead of one per row. Each releases itself.
#ifndef CORE_STORAGE_H
#define CORE_STORAGE_H

#include <cstddef>
#include <memory>

#include "core/memory.h"
#include "lsolver/Zorva"

// rows x cols entries, addressed [r][c]; every entry value-initialised.
template <class T>
struct grid {
    std::unique_ptr<T[]> data;
    std::unique_ptr<T*[]> rows;

    grid(std::size_t nrows, std::size_t ncols)
        : data(make_array<T>(nrows * ncols)), rows(make_array<T*>(nrows))
    {
        for (std::size_t r = 0; r < nrows; ++r) rows[r] = data.get() + r * ncols;
    }
    T** get() const { return rows.get(); }
};

// Gives back a block of matrix_block.
struct matrix_block_release {
    void operator()(double* p) const;
};

// n doubles, all 0.0, never null (a failed allocation ends the run through out_of_memory). A
// block of a huge page or more starts on a huge page boundary and asks the kernel for huge pages
// (2 MiB): the product streams through it, and on 4 KiB pages it meets a new page, a miss in the
// address translation, every 64 cache lines.
std::unique_ptr<double[], matrix_block_release> matrix_block(std::size_t n);

// M[ny][nx][i][j][k][l]; all entries 0.0. An element's ((ydeg+1)(xdeg+1))^2 entries are
// consecutive, row after row, and the elements follow each other in row order. The pointer levels
// are set here once and never changed: the product on the record (mult) reads the block in that
// layout without looking at them.
struct element_matrices {
    std::unique_ptr<double[], matrix_block_release> data;
    std::unique_ptr<double*[]> l5;
    std::unique_ptr<double**[]> l4;
    std::unique_ptr<double***[]> l3;
    std::unique_ptr<double****[]> l2;
    std::unique_ptr<double*****[]> l1;

    explicit element_matrices(indices ix);
    double****** get() const { return l1.get(); }
};

// Number of doubles and of pointers the element matrix array takes.
double element_matrix_doubles(indices ix);
double element_matrix_pointers(indices ix);

#endif
