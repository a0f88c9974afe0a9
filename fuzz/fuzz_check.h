#pragma once

#include <cstdio>
#include <cstdlib>

// A failed property aborts at once: libFuzzer then keeps the input that broke it as a
// crash artifact, and the line names the property.
#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)
