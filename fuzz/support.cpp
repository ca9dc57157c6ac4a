// Parts of the fuzz targets that are compiled without coverage
// instrumentation.
#include <cstdint>

// The range of the inline 8-bit coverage counters of the instrumented code.
// In an instrumented file, a declaration of the section bounds would clash
// with the ones the instrumentation declares itself, and that file's counters
// would go unregistered.
extern "C" __attribute__((weak)) uint8_t __start___sancov_cntrs[];
extern "C" __attribute__((weak)) uint8_t __stop___sancov_cntrs[];

namespace harness {

uint8_t* countersBegin() { return __start___sancov_cntrs; }
uint8_t* countersEnd() { return __stop___sancov_cntrs; }

}  // namespace harness

// Every input runs in a forked child, which copies the parent's memory
// mappings: a small quarantine of freed memory keeps the parent small and a
// fork cheap. ASAN_OPTIONS still overrides this.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=8"; }
