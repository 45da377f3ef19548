// Caller text: what an untrusted number or name becomes before the host sees it.
#include <gtest/gtest.h>

#include <string>

#include "caller_text.h"

namespace {

using talo::voip::CallerText;

TEST(CallerText, CleansAndCaps) {
  const std::string euro = "\xE2\x82\xAC";     // 3 bytes
  const std::string fffd = "\xEF\xBF\xBD";
  const struct {
    const char *name;
    std::string in;
    size_t cap;
    std::string out;
  } cases[] = {
      {"plain number", "+15551234", 127, "+15551234"},
      {"empty", "", 127, ""},
      {"control bytes dropped", std::string("12\x01" "3\t4\x7F" "5\r\n", 10) + std::string(1, '\0') + "6", 127, "123456"},
      {"C1 controls dropped", "a\xC2\x85" "b", 127, "ab"},
      {"valid UTF-8 kept", "Jos\xC3\xA9 " + euro, 127, "Jos\xC3\xA9 " + euro},
      {"stray continuation byte", "a\x80" "b", 127, "a" + fffd + "b"},
      {"overlong slash", "\xC0\xAF", 127, fffd + fffd},
      {"surrogate", "\xED\xA0\x80", 127, fffd + fffd + fffd},
      {"past U+10FFFF", "\xF4\x90\x80\x80", 127, fffd + fffd + fffd + fffd},
      {"sequence cut by the end", "ab\xE2\x82", 127, "ab" + fffd + fffd},
      {"capped at 127", std::string(500, '7'), 127, std::string(127, '7')},
      {"no half character at the cap", "ab" + euro + euro, 7, "ab" + euro},
      {"cap exactly on a character", "a" + euro + euro, 7, "a" + euro + euro},
      {"replacement not cut either", "abcde\xFF", 7, "abcde"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.out, CallerText(c.in, c.cap));
  }
}

}  // namespace
