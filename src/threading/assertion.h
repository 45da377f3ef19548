#pragma once
#include <stdexcept>
#include <string>

namespace talo::threading {

// The failure raised by a broken internal invariant, formatted as
// "<message> (<unit>, line <n>)".
class AssertionFailed : public std::runtime_error {
 public:
  AssertionFailed(const std::string &message, const char *unit, int line);
};

}  // namespace talo::threading
