#pragma once

#include <random>

namespace core {

// The process's pseudo-random generator for names and samples (not for secrets): one a
// thread, seeded from the system's entropy source on its first use in that thread.
std::mt19937_64& Random();

}  // namespace core
