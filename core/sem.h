// The spectral element core: quadrature, node table, mesh, element matrices, load, boundary
// conditions, the matrix-free product and the writers, shared by all four programs.
#ifndef CORE_SEM_H
#define CORE_SEM_H

#include "lsolver/Zorva"

// Domain: x from a1 to b1, y from a2 to d2. Each program defines these four with its own values;
// the mesh generator is their only reader.
extern double a1, b1, a2, d2;

extern const double pi;   // 3.141592653589793
extern const double eps;  // solver tolerance, 1e-16

// Polynomial kit (legendre.cpp).
double legendre(unsigned int n, double x);
double dlegendre(unsigned int const& p, double const& x);
double ddlegendre(unsigned int const& p, double const& x);
double abss(double xx);
void gll_nodes(unsigned int const& Nnode, double* x);

// Reference node table and the 1-D GLL differentiation matrix (pre_table.cpp).
void pre_table(indices ix, i_tab** arr);
double dfi(indices ix, unsigned int k, unsigned int i, unsigned int axis, i_tab** nodes);

// Mesh and metric factors (gen_mesh.cpp).
void gen_mesh(indices ix, i_tab** nodes, coo** msh);
double dxdy(indices ix, int cx, int cy, int n, int y1, int y2, i_tab** nodes, coo** msh);

// Element matrices (fill_matrix.cpp): eta times the GLL stiffness of every element, plus, when
// velocity is given, the convection term velocity(y)*du/dx with the velocity taken at the test
// node's physical y. Each program's fill_matrix is this with its own velocity.
using velocity_profile = double (*)(double y);
void fill_matrices(indices ix, double****** M, i_tab** nodes, coo** msh, double eta,
                   velocity_profile velocity);

// Load vector (fill_rhs.cpp): b[n] += w*|J| over the elements that hold node n.
void lumped_mass(indices ix, double* b, i_tab** nodes, coo** msh);

// Boundary conditions (bc.cpp). Sides in the order they are handled.
enum side { UP = 0, DOWN = 1, LEFT = 2, RIGHT = 3 };
struct side_condition {
    bool dirichlet;  // false: natural condition, the side's nodes stay free
    double value;    // the Dirichlet value
};
// Imposes the four sides' conditions, in the order UP, DOWN, LEFT, RIGHT, on the element matrices
// and the load. Each program's bc is this with its own side plan.
void impose_sides(indices ix, double****** M, double* rhs, side_condition const plan[4]);

// Matrix-free product out = A*inn over the unassembled element matrices (mult.cpp): the product
// of whatever the array's pointers name. On the driver's storage the same product takes each
// element's block as the storage lays it out, without reading the pointers; this is the solver's
// operator in the programs.
struct element_matrices;
void mult(indices ix, double****** const M, double const* inn, double* out);
void mult(indices ix, element_matrices const& M, double const* inn, double* out);
// The same product with the absolute values of the matrix entries and of inn: out = |A| |inn|,
// summed in the same order.
void mult_abs(indices ix, double****** const M, double const* inn, double* out);
void mult_abs(indices ix, element_matrices const& M, double const* inn, double* out);

// Writers (gnp_data.cpp). Both return false, after a line on standard error, when the file could
// not be written completely.
bool write_solution(indices ix, double const* solution, coo** msh, char const* file_name);
bool comsol_mesh(indices ix, coo** msh);

// The stage versions of one program, with the specified signatures.
bool gnp_data(indices ix, double const* solution, coo** msh);
void fill_matrix(indices ix, double****** M, i_tab** nodes, coo** msh, double eta);
void fill_rhs(indices ix, double* b, i_tab** nodes, coo** msh);
void bc(indices ix, double****** M, double* rhs, coo** msh, double eta);

#endif
