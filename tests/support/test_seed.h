// The seed of a randomised test: TEST_SEED when set (to repeat a run),
// otherwise a fresh one. Printed either way, so that a failure can be
// repeated.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

inline unsigned test_seed()
{
    const char* given = std::getenv("TEST_SEED");
    const unsigned seed = given && *given ? unsigned(std::stoul(given)) : std::random_device{}();
    printf("seed %u (TEST_SEED=%u repeats this run)\n", seed, seed);
    fflush(stdout);
    return seed;
}
