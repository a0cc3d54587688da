// Conversions between wide text, the GB18030 code page and UTF-8, and the name helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "util/text.h"

namespace vorlenta {
namespace {

TEST(CodePage, Gb2312BytesAndLosslessRoundTrips) {
  // "中B" and "文件.jpg": GB2312 characters must give the very bytes a GB2312 codec gives.
  EXPECT_EQ(Unicode2Ansi(u"\u4E2DB"), "\xD6\xD0" "B");
  EXPECT_EQ(Unicode2Ansi(u"\u6587\u4EF6.jpg"), "\xCE\xC4\xBC\xFE.jpg");
  const std::u16string names[] = {
      u"\u4E2DB",
      u"caf\u00E9 \u00FC\u00DF.txt",          // Latin-1
      u"\u041F\u0440\u0438\u0432\u0435\u0442",  // Cyrillic
      u"\u3053\u3093\u306B\u3061\u306F.png",    // Hiragana
      u"\U0001F600 smile.jpg",                // a character outside the BMP (surrogate pair)
      u"\u20AC\u00A9\u2122",
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
  for (long capacity = 0; capacity < 24; ++capacity) {
    std::vector<char> out(32, '\x7F');
    const long n = inner_uni2str(out.data(), wide.c_str(), capacity, static_cast<long>(wide.size()));
    if (capacity == 0) {
      EXPECT_EQ(n, 0);
      EXPECT_EQ(out[0], '\x7F');
      continue;
    }
    ASSERT_LT(n, capacity);
    EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
    for (size_t i = static_cast<size_t>(capacity); i < out.size(); ++i) ASSERT_EQ(out[i], '\x7F') << capacity;
    // The cut never splits a character: what was written converts back to a prefix.
    const std::u16string back = Ansi2Unicode(out.data());
    EXPECT_EQ(wide.compare(0, back.size(), back), 0) << capacity;
  }
  const std::string narrow = "\xD6\xD0\xCE\xC4" "ABC";
  for (long capacity = 0; capacity < 10; ++capacity) {
    std::vector<char16_t> out(16, u'\x7F');
    const long n = inner_str2uni(out.data(), narrow.c_str(), capacity, static_cast<long>(narrow.size()));
    if (capacity == 0) {
      EXPECT_EQ(out[0], u'\x7F');
      continue;
    }
    ASSERT_LT(n, capacity);
    EXPECT_EQ(out[static_cast<size_t>(n)], 0);
    for (size_t i = static_cast<size_t>(capacity); i < out.size(); ++i) ASSERT_EQ(out[i], u'\x7F');
  }
}

TEST(CodePage, ProcessWidePairFollowsTheCharsetItWasOpenedFor) {
  ASSERT_EQ(inner_initUnicodeMap("UTF-8"), 0);
  EXPECT_EQ(GetUnicodeMapCharset(), "UTF-8");
  char out[16];
  EXPECT_EQ(CharsetFromUnicode(out, u"\u4E2D", sizeof out, 1), 3);
  EXPECT_STREQ(out, "\xE4\xB8\xAD");
  char16_t wide[8];
  EXPECT_EQ(CharsetToUnicode(wide, "\xE4\xB8\xAD", 8, 3), 1);
  EXPECT_EQ(wide[0], u'\u4E2D');
  EXPECT_EQ(inner_initUnicodeMap("NO-SUCH-CHARSET"), -1);
  EXPECT_EQ(GetUnicodeMapCharset(), "");
  EXPECT_EQ(CharsetFromUnicode(out, u"abc", sizeof out, 3), 0);
  EXPECT_EQ(inner_initUnicodeMap("UTF-8"), 0);
}

TEST(NameHelpers, ExtensionCaseAndBlanks) {
  char ext[32] = "keep";
  EXPECT_EQ(GetExtendName("archive.tar.gz", ext), 0);
  EXPECT_STREQ(ext, "gz");
  std::strcpy(ext, "keep");
  EXPECT_EQ(GetExtendName("README", ext), 87);
  EXPECT_STREQ(ext, "keep");
  EXPECT_EQ(GetExtendName("a.", ext), 0);
  EXPECT_STREQ(ext, "");
  EXPECT_EQ(GetExtendName(nullptr, ext), 87);

  char name[] = "IMG_0001.JPG\xD6\xD0";
  EXPECT_EQ(Convert2Lowercase(name), 14);
  EXPECT_STREQ(name, "img_0001.jpg\xD6\xD0");
  char16_t wide[] = u"ABC\u00C9z";
  EXPECT_EQ(std::u16string(GetCharLowerW(wide)), u"abc\u00C9z");

  char padded[] = "NAME    ";
  EraseStringTailBlankChar(padded, 8);
  EXPECT_STREQ(padded, "NAME");
  char inner[] = "A B  ";
  EraseStringTailBlankChar(inner, 5);
  EXPECT_STREQ(inner, "A B");
}

TEST(NameHelpers, SafeFileNameStaysOneComponent) {
  EXPECT_EQ(SafeFileName("a/b.jpg"), "a_b.jpg");
  EXPECT_EQ(SafeFileName(".."), "_");
  EXPECT_EQ(SafeFileName("."), "_");
  EXPECT_EQ(SafeFileName(""), "_");
  EXPECT_EQ(SafeFileName("..a"), "..a");
  EXPECT_EQ(SafeFileName("\xD6\xD0.jpg"), "\xD6\xD0.jpg");
}

TEST(NameHelpers, PathDirIndexIgnoresTheLastUnit) {
  int count = -1;
  GetPathDirIndex(u"/Users/x/", count);
  EXPECT_EQ(count, 2);
  GetPathDirIndex(u"/", count);
  EXPECT_EQ(count, 0);
  GetPathDirIndex(u"C:\\a\\b/c", count);
  EXPECT_EQ(count, 3);
}

TEST(NameHelpers, SplitPath) {
  // Path, then the folder, name and extension it splits into.
  const char* cases[][4] = {
      {"/a/b.c/d", "/a/b.c/", "d", ""},      {"photo.jpg", "", "photo", ".jpg"},
      {"/r/photo/", "/r/photo/", "", ""},    {"/r/photo/a.b.jpg", "/r/photo/", "a.b", ".jpg"},
      {"noext", "", "noext", ""},            {"/.hidden", "/", "", ".hidden"},
  };
  for (const auto& c : cases) {
    char drive[64] = "x", dir[64], fname[64], ext[64];
    _splitpath(c[0], drive, dir, fname, ext);
    EXPECT_STREQ(drive, "") << c[0];
    EXPECT_STREQ(dir, c[1]) << c[0];
    EXPECT_STREQ(fname, c[2]) << c[0];
    EXPECT_STREQ(ext, c[3]) << c[0];
  }
}

TEST(NameHelpers, RealFileNameSkipsExistingNames) {
  test::TempDir dir;
  const std::string photo = dir / "photo";
  ASSERT_EQ(test::RunCommand("mkdir " + test::ShellQuote(photo)), 0);
  char16_t out[512];
  const std::string free = photo + "/a.jpg";
  ASSERT_EQ(GetRealFileName(free.c_str(), out, 512), 0);
  EXPECT_EQ(Utf16ToUtf8(out), free);

  test::WriteFileBytes(photo + "/a.jpg", {1});
  test::WriteFileBytes(photo + "/a(1).jpg", {2});
  ASSERT_EQ(GetRealFileName(free.c_str(), out, 512), 0);
  EXPECT_EQ(Utf16ToUtf8(out), photo + "/a(2).jpg");

  // A GB18030 name: the existence check must look at the UTF-8 path on disk.
  test::WriteFileBytes(photo + "/\xE4\xB8\xAD.png", {3});
  const std::string gbPath = photo + "/\xD6\xD0.png";
  ASSERT_EQ(GetRealFileName(gbPath.c_str(), out, 512), 0);
  EXPECT_EQ(Utf16ToUtf8(out), photo + "/\xE4\xB8\xAD(1).png");

  // A folder of that name counts as taken too.
  ASSERT_EQ(test::RunCommand("mkdir " + test::ShellQuote(photo + "/d")), 0);
  EXPECT_EQ(GetFreePathUtf8(photo + "/d"), photo + "/d(1)");
  EXPECT_EQ(GetRealFileName(nullptr, out, 512), 87);
}

}  // namespace
}  // namespace vorlenta
