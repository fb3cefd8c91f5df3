// -eta Laplace(u) + 0.5 du/dx = f on (0,1)x(0,1): f is the unit load and a point source at one
// node, whose load entry is 10; u = 0 up, down and left, natural condition on the right.
#include "problems/convdiff01/convdiff.h"

#include "core/sem.h"

double a1 = 0.0;
double b1 = 1.0;
double a2 = 0.0;
double d2 = 1.0;

char const* const convdiff_banner =
    "Solved problem: convection-diffusion equation with point source\n"
    "\ncomputational domain: (0,1)x(0,1)\n";

namespace {

const double convection_velocity = 0.5;
const double point_source_strength = 10.0;

double uniform_flow(double)
{
    return convection_velocity;
}

}  // namespace

void fill_matrix(indices ix, double****** M, i_tab** nodes, coo** msh, double eta)
{
    fill_matrices(ix, M, nodes, msh, eta, uniform_flow);
}

// The node in mesh row ydim/4 (from the top) and column xdim/4 (from the left) is the point
// source: its load entry is stored after the lumped mass, so it is exactly 10.
void fill_rhs(indices ix, double* b, i_tab** nodes, coo** msh)
{
    lumped_mass(ix, b, nodes, msh);
    unsigned int point_source_node = (ix.ydim / 4) * ix.xdim + ix.xdim / 4;
    b[point_source_node] = point_source_strength;
}

void bc(indices ix, double****** M, double* rhs, coo**, double)
{
    const side_condition plan[4] = {{true, 0.0}, {true, 0.0}, {true, 0.0}, {false, 0.0}};
    impose_sides(ix, M, rhs, plan);
}
