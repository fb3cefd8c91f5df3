#include <gtest/gtest.h>

#include "core/sem.h"

TEST(Legendre, SmokeValues)
{
    EXPECT_EQ(legendre(2, 0.5), -0.125);
}
