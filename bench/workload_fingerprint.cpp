// Prints the standard workload's fingerprint; `python bench/workload.py`
// must print the same line, or the C++ and Python figures measure
// different workloads.
#include <cinttypes>
#include <cstdio>

#include "workload.hpp"

int main() {
    const ordwyne::bench::Workload w;
    std::printf("workload fingerprint %016" PRIx64 "\n", w.fingerprint());
    return 0;
}
