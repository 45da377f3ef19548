// The host kit as both hosts use it: the library loaded and bound, and the
// guard around every handler.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "host_kit/handler_guard.h"
#include "host_kit/library.h"
#include "net_test_support.h"

namespace talo::tools::test {
namespace {

using testing::HasSubstr;

TEST(HostKitLibrary, AFolderWithoutTheLibraryIsRefusedNamingIt) {
  TempDir dir;
  try {
    host_kit::Library library(dir.File(""));
    ADD_FAILURE() << "loaded";
  } catch (const std::runtime_error &e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot load libTALO.so: "));
  }
  void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(host_kit::Symbol(libc, "strlen"), nullptr);
  EXPECT_EQ(host_kit::Symbol(libc, "QV_InitDll"), nullptr);
  EXPECT_EQ(host_kit::Symbol(nullptr, "strlen"), nullptr);
  dlclose(libc);
}

// What the handler does with its event: 0 takes it, 1 and 2 fail.
void Handler(void *context, int32_t ch, const char *text) {
  int &outcome = *static_cast<int *>(context);
  if (outcome == 1) throw std::runtime_error(std::string("bad ") + text);
  if (outcome == 2) throw 42;
  outcome = 100 + ch;
}

TEST(HostKitGuard, AnEventReachesTheHandlerAndNoExceptionLeavesIt) {
  const struct {
    int outcome;
    int after;          // the context afterwards
    const char *said;   // on stderr
  } cases[] = {
      {0, 107, ""},
      {1, 1, ": event handler failed: bad event\n"},
      {2, 2, ": event handler failed\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.outcome);
    int context = c.outcome;
    testing::internal::CaptureStderr();
    host_kit::Guarded<&Handler>::Call(&context, 7, "event");
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(context, c.after);
    if (*c.said) {
      EXPECT_THAT(said, HasSubstr(c.said));
    } else {
      EXPECT_EQ(said, "");
    }
  }
}

}  // namespace
}  // namespace talo::tools::test
