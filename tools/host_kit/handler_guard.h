// The wrapper every handler a host gives the library goes through: no
// exception may cross into the library's C code, so one that escapes a
// handler is reported on stderr and the event is dropped.
#pragma once

#include <cerrno>
#include <cstdio>
#include <exception>

namespace host_kit {

template <auto Fn>
struct Guarded;

template <typename... A, void (*Fn)(void *, A...)>
struct Guarded<Fn> {
  static void Call(void *context, A... args) noexcept {
    try {
      Fn(context, args...);
    } catch (const std::exception &e) {
      std::fprintf(stderr, "%s: event handler failed: %s\n", program_invocation_short_name, e.what());
    } catch (...) {
      std::fprintf(stderr, "%s: event handler failed\n", program_invocation_short_name);
    }
  }
};

}  // namespace host_kit
