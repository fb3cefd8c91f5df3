// Solution and mesh writers. Each file is written whole or not at all (begin_whole_file): an
// earlier file of the name stays until the new one is complete. A file that cannot be created or
// written completely is reported on standard error and the caller learns of it; a run must not
// end as a success with its results lost.
#include <cstdio>

#include "core/sem.h"
#include "core/whole_file.h"

// One line "x y u" per node, a block per mesh row from the top, each block closed by an empty line.
bool write_solution(indices ix, double const* solution, coo** msh, char const* file_name)
{
    whole_file w = begin_whole_file(file_name);
    if (!w.f) return false;
    std::FILE* f = w.f;
    bool ok = true;
    for (unsigned int r = 0; r < ix.ydim && ok; ++r) {
        for (unsigned int c = 0; c < ix.xdim && ok; ++c)
            ok = std::fprintf(f, "%1.15lf %1.15lf %1.15lf\n", msh[r][c].x, msh[r][c].y,
                              solution[r * ix.xdim + c]) > 0;
        ok = ok && std::fprintf(f, "\n") > 0;
    }
    return finish_whole_file(w, ok);
}

// Node coordinates, then two counter-clockwise triangles per cell of four neighbouring nodes,
// sharing the diagonal from the upper right to the lower left corner.
bool comsol_mesh(indices ix, coo** msh)
{
    whole_file w = begin_whole_file("comsol_mesh.txt");
    if (!w.f) return false;
    std::FILE* f = w.f;
    bool ok = std::fprintf(f, "%% Coordinates\n") > 0;
    for (unsigned int i = 0; i < ix.ydim && ok; ++i)
        for (unsigned int j = 0; j < ix.xdim && ok; ++j)
            ok = std::fprintf(f, "%lf\t%lf\n", msh[i][j].x, msh[i][j].y) > 0;
    ok = ok && std::fprintf(f, "\n") > 0 && std::fprintf(f, "%% Elements (triangular)\n") > 0;
    for (unsigned int i = 0; i + 1 < ix.ydim && ok; ++i) {
        for (unsigned int j = 0; j + 1 < ix.xdim && ok; ++j) {
            int ul = static_cast<int>(i * ix.xdim + j);
            int ll = static_cast<int>((i + 1) * ix.xdim + j);
            ok = std::fprintf(f, "%i\t%i\t%i\n", ul, ll, ul + 1) > 0 &&
                 std::fprintf(f, "%i\t%i\t%i\n", ul + 1, ll, ll + 1) > 0;
        }
    }
    return finish_whole_file(w, ok);
}
