#pragma once

#include <string>

namespace qv::test {

// For a test about to skip because `what` is missing. A run that must cover it sets
// the environment variable `required` to 1: there the current test fails instead
// (fatally, so that a fixture whose SetUp then skips does not go on into the test body),
// and the run cannot pass by skipping.
void FailIfRequired(const std::string& required, const std::string& what);

}  // namespace qv::test
