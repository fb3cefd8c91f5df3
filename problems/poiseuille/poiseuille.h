// Heat transfer in Poiseuille flow on (0,750)x(0,1).
#ifndef PROBLEMS_POISEUILLE_H
#define PROBLEMS_POISEUILLE_H

#include "core/driver.h"

extern const problem poiseuille_problem;

void fill_matrix(indices ix, double****** M, i_tab** nodes, coo** msh, double eta);
void fill_rhs(indices ix, double* b, i_tab** nodes, coo** msh);
void bc(indices ix, double****** M, double* rhs, coo** msh, double eta);

#endif
