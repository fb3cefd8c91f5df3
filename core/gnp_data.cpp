// Solution and mesh writers. A file that cannot be created or written completely is reported on
// standard error and the caller learns of it; a run must not end as a success with its results
// lost.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/sem.h"

namespace {

std::FILE* open_for_writing(char const* file_name)
{
    std::FILE* f = std::fopen(file_name, "w");
    if (!f) std::fprintf(stderr, "error: cannot create \"%s\": %s\n", file_name, std::strerror(errno));
    return f;
}

// Closes the file; false, after a line on standard error, if anything failed to be written.
bool close_written(std::FILE* f, char const* file_name, bool ok)
{
    int saved = 0;
    if (std::ferror(f)) {
        ok = false;
        saved = errno;
    }
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok)
        std::fprintf(stderr, "error: cannot write \"%s\": %s\n", file_name,
                     saved ? std::strerror(saved) : "write failed");
    return ok;
}

}  // namespace

// One line "x y u" per node, a block per mesh row from the top, each block closed by an empty line.
bool write_solution(indices ix, double const* solution, coo** msh, char const* file_name)
{
    std::FILE* f = open_for_writing(file_name);
    if (!f) return false;
    bool ok = true;
    for (unsigned int r = 0; r < ix.ydim && ok; ++r) {
        for (unsigned int c = 0; c < ix.xdim && ok; ++c)
            ok = std::fprintf(f, "%1.15lf %1.15lf %1.15lf\n", msh[r][c].x, msh[r][c].y,
                              solution[r * ix.xdim + c]) > 0;
        ok = ok && std::fprintf(f, "\n") > 0;
    }
    return close_written(f, file_name, ok);
}

// Node coordinates, then two counter-clockwise triangles per cell of four neighbouring nodes,
// sharing the diagonal from the upper right to the lower left corner.
bool comsol_mesh(indices ix, coo** msh)
{
    char const* file_name = "comsol_mesh.txt";
    std::FILE* f = open_for_writing(file_name);
    if (!f) return false;
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
    return close_written(f, file_name, ok);
}
