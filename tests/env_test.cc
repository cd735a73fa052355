// The platform seam's text conversion and directory listing.
#include <gtest/gtest.h>

#include "env.h"
#include "test_util.h"

using namespace testutil;

namespace {

TEST(TextConversion, NamesSurviveARoundTrip) {
  const std::vector<std::string> samples = {
      "plain.txt", "caf\xC3\xA9", "\xE4\xB8\xAD\xE6\x96\x87", "\xF0\x9F\x98\x80 smile", "\xF4\x8F\xBF\xBF max",
  };
  for (const std::string& utf8 : samples) {
    SCOPED_TRACE(utf8);
    std::wstring wide = ablative::fromUtf8(utf8);
    ASSERT_FALSE(wide.empty());
    EXPECT_EQ(ablative::toUtf8(wide), utf8);
  }
  EXPECT_EQ(ablative::toUtf8(L""), "");
  EXPECT_EQ(ablative::fromUtf8(""), L"");
}

#ifndef _WIN32
// Windows substitutes U+FFFD for bad input; here conversion fails instead, so
// no name is silently altered.
TEST(TextConversion, MalformedInputFails) {
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(ablative::fromUtf8(bad), L"");
  }
  EXPECT_EQ(ablative::toUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "");
}
#endif

}  // namespace
