// Conversions between wide text, the GB18030 code page and UTF-8, and safe file names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/text.h"

namespace vorlenta {
namespace {

TEST(CodePage, Gb2312BytesAndLosslessRoundTrips) {
  // "中B": GB2312 characters must give the very bytes a GB2312 codec gives.
  EXPECT_EQ(Unicode2Ansi(u"\u4E2DB"), "\xD6\xD0" "B");
  const std::u16string names[] = {
      u"\u4E2DB",
      u"caf\u00E9 \u00FC\u00DF.txt",          // Latin-1
      u"\u041F\u0440\u0438\u0432\u0435\u0442",  // Cyrillic
      u"\U0001F600 smile.jpg",                // a character outside the BMP (surrogate pair)
  };
  for (const std::u16string& name : names) {
    const std::string ansi = Unicode2Ansi(name.c_str());
    EXPECT_EQ(ansi.find('?'), std::string::npos) << "lost a character";
    EXPECT_EQ(Ansi2Unicode(ansi.c_str()), name);
    EXPECT_EQ(Utf8ToUtf16(AnsiToUtf8(ansi.c_str()).c_str()), name);
  }
  // Bad input is replaced, never dropped with what follows it: 0xFF is never valid in
  // GB18030, a lead byte is cut off at the end, a surrogate is unpaired, UTF-8 is invalid.
  EXPECT_EQ(Ansi2Unicode("ab\xFF" "cd"), u"ab\uFFFDcd");
  EXPECT_EQ(Ansi2Unicode("xy\xD6"), u"xy\uFFFD");
  const char16_t lone[] = {u'a', 0xD800, u'b', 0};
  EXPECT_EQ(Unicode2Ansi(lone), "a?b");
  EXPECT_EQ(Utf8ToUtf16("a\xC3(b"), u"a\uFFFD(b");
}

TEST(CodePage, NeverWritesPastTheCapacity) {
  const std::u16string wide = u"\u4E2D\u6587ABC\U0001F600xyz";
  const std::string narrow = Unicode2Ansi(wide.c_str());
  for (long capacity = 0; capacity < 24; ++capacity) {
    std::vector<char> out(32, '\x7F');
    std::vector<char16_t> back(32, u'\x7F');
    const long n = inner_uni2str(out.data(), wide.c_str(), capacity, static_cast<long>(wide.size()));
    const long units = inner_str2uni(back.data(), narrow.c_str(), capacity, static_cast<long>(narrow.size()));
    for (size_t i = static_cast<size_t>(capacity); i < out.size(); ++i) {
      ASSERT_TRUE(out[i] == '\x7F' && back[i] == u'\x7F') << capacity << " " << i;
    }
    if (capacity == 0) continue;
    ASSERT_LT(n, capacity);
    ASSERT_LT(units, capacity);
    EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
    EXPECT_EQ(back[static_cast<size_t>(units)], 0);
    // The cut never splits a character: what was written converts back to a prefix.
    const std::u16string prefix = Ansi2Unicode(out.data());
    EXPECT_EQ(wide.compare(0, prefix.size(), prefix), 0) << capacity;
  }
}

TEST(NameHelpers, SafeFileNameStaysOneComponent) {
  EXPECT_EQ(SafeFileName("a/b.jpg"), "a_b.jpg");
  EXPECT_EQ(SafeFileName(".."), "_");
  EXPECT_EQ(SafeFileName("."), "_");
  EXPECT_EQ(SafeFileName(""), "_");
  EXPECT_EQ(SafeFileName("..a"), "..a");
  EXPECT_EQ(SafeFileName("\xD6\xD0.jpg"), "\xD6\xD0.jpg");
}

}  // namespace
}  // namespace vorlenta
