// The platform seam's text conversion: every name survives a round trip; on Linux, where names are bytes, so does
// malformed UTF-8, its bytes as U+DC80-U+DCFF (Windows substitutes U+FFFD).
#include <gtest/gtest.h>

#include "platform/env.h"

namespace {

TEST(TextConversion, NamesSurviveARoundTrip) {
  for (const char* utf8 : {"", "caf\xC3\xA9", "\xE4\xB8\xAD\xE6\x96\x87", "\xF0\x9F\x98\x80 smile", "\xF4\x8F\xBF\xBF"})
    EXPECT_EQ(ablative::toUtf8(ablative::fromUtf8(utf8)), utf8);
#ifndef _WIN32
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"})
    EXPECT_EQ(ablative::toUtf8(ablative::fromUtf8(bad)), bad) << bad;
  EXPECT_EQ(ablative::fromUtf8("caf\xE9"), L"caf\xDCE9");
  EXPECT_EQ(ablative::toUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "");  // no byte stands for it
#endif
}

}  // namespace
