#include "core/storage.h"

#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

void matrix_block_release::operator()(double* p) const { std::free(p); }

std::unique_ptr<double[], matrix_block_release> matrix_block(std::size_t n)
{
    const std::size_t huge_page = std::size_t(2) << 20;
    const std::size_t bytes = (n == 0 ? 1 : n) * sizeof(double);
    const std::size_t align = bytes >= huge_page ? huge_page : 64;
    const std::size_t whole = (bytes + align - 1) / align * align;  // a multiple, for aligned_alloc
    double* p = static_cast<double*>(std::aligned_alloc(align, whole));
    if (!p) out_of_memory(static_cast<double>(bytes));
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only advice: without huge pages the block is the same, on small pages.
    if (align == huge_page) madvise(p, whole, MADV_HUGEPAGE);
#endif
    // After the advice, so that the first touch already takes huge pages. All bits zero is 0.0.
    std::memset(p, 0, bytes);
    return std::unique_ptr<double[], matrix_block_release>(p);
}

double element_matrix_doubles(indices ix)
{
    double n = double(ix.ydeg + 1.0) * double(ix.xdeg + 1.0);
    return double(ix.ney) * double(ix.nex) * n * n;
}

double element_matrix_pointers(indices ix)
{
    double e = double(ix.ney) * double(ix.nex);
    double ny1 = ix.ydeg + 1.0;
    double nx1 = ix.xdeg + 1.0;
    return double(ix.ney) + e * (1.0 + ny1 + ny1 * nx1 + ny1 * nx1 * ny1);
}

element_matrices::element_matrices(indices ix)
{
    const std::size_t ny1 = ix.ydeg + std::size_t(1);
    const std::size_t nx1 = ix.xdeg + std::size_t(1);
    const std::size_t elements = std::size_t(ix.ney) * ix.nex;
    data = matrix_block(elements * ny1 * nx1 * ny1 * nx1);
    l5 = make_array<double*>(elements * ny1 * nx1 * ny1);
    l4 = make_array<double**>(elements * ny1 * nx1);
    l3 = make_array<double***>(elements * ny1);
    l2 = make_array<double****>(elements);
    l1 = make_array<double*****>(ix.ney);
    for (std::size_t i = 0; i < elements * ny1 * nx1 * ny1; ++i) l5[i] = data.get() + i * nx1;
    for (std::size_t i = 0; i < elements * ny1 * nx1; ++i) l4[i] = l5.get() + i * ny1;
    for (std::size_t i = 0; i < elements * ny1; ++i) l3[i] = l4.get() + i * nx1;
    for (std::size_t i = 0; i < elements; ++i) l2[i] = l3.get() + i * ny1;
    for (std::size_t i = 0; i < ix.ney; ++i) l1[i] = l2.get() + i * ix.nex;
}
