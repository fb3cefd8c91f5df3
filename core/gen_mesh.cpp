// Mesh of equal rectangular elements and the metric factors of the element map.
#include "core/memory.h"
#include "core/sem.h"

// Element row 0 is the top of the domain. A node shared by several elements takes its values from
// the element in which it has the smallest local row and column; the last mesh row and column
// take the stored bottom and right edges, and the last node the domain bounds themselves.
void gen_mesh(indices ix, i_tab** nodes, coo** msh)
{
    double dex = (b1 - a1) / static_cast<double>(ix.nex);
    double dey = (d2 - a2) / static_cast<double>(ix.ney);

    std::size_t count = static_cast<std::size_t>(ix.ney) * ix.nex;
    auto elma1 = make_array<double>(count);
    auto elmb1 = make_array<double>(count);
    auto elma2 = make_array<double>(count);
    auto elmd2 = make_array<double>(count);

    // Bounds pass: right and bottom edges come from the element's own left and top edges.
    for (unsigned int i = 0; i < ix.ney; ++i) {
        for (unsigned int j = 0; j < ix.nex; ++j) {
            std::size_t e = static_cast<std::size_t>(i) * ix.nex + j;
            double pa1 = static_cast<double>(j) * dex + a1;
            double pd2 = d2 - static_cast<double>(i) * dey;
            double pb1 = pa1 + dex;
            double pa2 = pd2 - dey;
            elma1[e] = pa1;
            elmd2[e] = pd2;
            elmb1[e] = pb1;
            elma2[e] = pa2;
        }
    }

    double jac = 0.0;
    double jac_inv = 0.0;
    for (unsigned int i = 0; i < ix.ney; ++i) {
        for (unsigned int j = 0; j < ix.nex; ++j) {
            std::size_t e = static_cast<std::size_t>(i) * ix.nex + j;
            double pa1 = elma1[e];
            double pa2 = elma2[e];
            double pb1 = elmb1[e];
            double pd2 = elmd2[e];
            jac_inv = 4.0 / ((pb1 - pa1) * (pd2 - pa2));
            jac = ((pb1 - pa1) * (pd2 - pa2)) / 4.0;
            for (unsigned int k = 0; k < ix.ydeg; ++k) {
                for (unsigned int l = 0; l < ix.xdeg; ++l) {
                    coo& node = msh[ix.ydeg * i + k][ix.xdeg * j + l];
                    node.x = (pb1 - pa1) * (nodes[k][l].x + 1.0) / 2.0 + pa1;
                    node.y = (pd2 - pa2) * (nodes[k][l].y + 1.0) / 2.0 + pa2;
                    node.jac = jac;
                    node.jac_inv = jac_inv;
                }
            }
            if (i == ix.ney - 1) {
                for (unsigned int n = 0; n < ix.xdeg; ++n) {
                    coo& node = msh[ix.ydim - 1][ix.xdeg * j + n];
                    node.x = (pb1 - pa1) * (nodes[ix.ydeg][n].x + 1.0) / 2.0 + pa1;
                    node.y = pa2;
                    node.jac = jac;
                    node.jac_inv = jac_inv;
                }
            }
            if (j == ix.nex - 1) {
                for (unsigned int m = 0; m < ix.ydeg; ++m) {
                    coo& node = msh[ix.ydeg * i + m][ix.xdim - 1];
                    node.x = pb1;
                    node.y = (pd2 - pa2) * (nodes[m][ix.xdeg].y + 1.0) / 2.0 + pa2;
                    node.jac = jac;
                    node.jac_inv = jac_inv;
                }
            }
        }
    }
    coo& corner = msh[ix.ydim - 1][ix.xdim - 1];
    corner.x = b1;
    corner.y = a2;
    corner.jac = jac;
    corner.jac_inv = jac_inv;
}

// (1,1): dx/dxi of element column n at x node y1, from the top edge of element (0, n).
// (2,2): dy/deta of element row n at y node y2, from the left edge of element (n, 0). Mesh rows
// run downward while dfi counts the y nodes upward, so this factor is negative: -height/2.
double dxdy(indices ix, int cx, int cy, int n, int y1, int y2, i_tab** nodes, coo** msh)
{
    double vysl = 0.0;
    if (cx == 1 && cy == 1) {
        for (int p = 0; p <= static_cast<int>(ix.xdeg); ++p) {
            double transf = msh[0][static_cast<int>(ix.xdeg) * n + p].x;
            vysl = dfi(ix, static_cast<unsigned int>(y1), static_cast<unsigned int>(p), 1, nodes) *
                       transf +
                   vysl;
        }
    }
    if (cx == 2 && cy == 2) {
        for (int q = 0; q <= static_cast<int>(ix.ydeg); ++q) {
            double transf = msh[static_cast<int>(ix.ydeg) * n + q][0].y;
            vysl = dfi(ix, static_cast<unsigned int>(y2), static_cast<unsigned int>(q), 2, nodes) *
                       transf +
                   vysl;
        }
    }
    return vysl;
}
