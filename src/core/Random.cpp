#include "core/Random.h"

namespace core {

std::mt19937_64& Random() {
  thread_local std::mt19937_64 random(std::random_device{}());
  return random;
}

}  // namespace core
