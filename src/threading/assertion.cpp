#include "threading/assertion.h"

#include <cstdio>

namespace talo::threading {
namespace {
std::string Format(const std::string &message, const char *unit, int line) {
  char tail[64];
  std::snprintf(tail, sizeof tail, ", line %d)", line);
  return message + " (" + unit + tail;
}
}  // namespace

AssertionFailed::AssertionFailed(const std::string &message, const char *unit, int line)
    : std::runtime_error(Format(message, unit, line)) {}

}  // namespace talo::threading
