// Processor time, for the timings the stages and the driver print.
#ifndef CORE_CLOCK_H
#define CORE_CLOCK_H

// Processor clock as a double, and a span of two readings in seconds.
double clock_reading();
double clock_seconds(double span);

#endif
