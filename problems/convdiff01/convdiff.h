// Convection-diffusion with a point source on the unit square, shared by convdiff01 and
// convdiff001, which differ only in the viscosity and the name of the solution file.
#ifndef PROBLEMS_CONVDIFF_H
#define PROBLEMS_CONVDIFF_H

#include "core/driver.h"

extern char const* const convdiff_banner;

// The stage versions both programs call.
void fill_matrix(indices ix, double****** M, i_tab** nodes, coo** msh, double eta);
void fill_rhs(indices ix, double* b, i_tab** nodes, coo** msh);
void bc(indices ix, double****** M, double* rhs, coo** msh, double eta);

#endif
