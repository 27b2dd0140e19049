// What a fuzz target holds the product to: a broken promise is a finding,
// reported and ended like a sanitizer's.
#pragma once

#include <cstdio>
#include <cstdlib>

#define REQUIRE(condition)                                                                                             \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: broken promise: %s\n", __FILE__, __LINE__, #condition);                       \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)
