#ifndef CORE_POISSON_H
#define CORE_POISSON_H

#include "core/driver.h"

extern const problem poisson_problem;

#endif
