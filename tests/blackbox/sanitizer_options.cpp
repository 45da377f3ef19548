// LeakSanitizer's exit-time scan crashes on the dynamic TLS of the libraries
// this program opens with dlopen (a known fault of the GCC 12 runtime), so the
// black-box suite runs without it. Leaks are checked by the unit, sim and
// tools suites, which link the same code statically.
extern "C" __attribute__((visibility("default"))) const char *__asan_default_options() {
  return "detect_leaks=0";
}
