// Benchmarks of the time step; filled in with the dynamics.
#include <benchmark/benchmark.h>
