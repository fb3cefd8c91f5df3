#include "core/clock.h"

#include <ctime>

double clock_reading()
{
    return static_cast<double>(std::clock());
}

double clock_seconds(double span)
{
    return span / static_cast<double>(CLOCKS_PER_SEC);
}
