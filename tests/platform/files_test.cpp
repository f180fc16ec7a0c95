// C runtime file input pinned on both targets: how scripts read in text and
// binary mode, and how a missing script or a folder fails to open.
#include <cerrno>

#include "platform_test_support.h"
#include "support/package_files.h"

namespace platform_test {
namespace {

class PlatformFilesTest : public PlatformTest {
 protected:
  std::u16string PathOf(const std::u16string& name) { return files_.Root() + name; }

  std::string ReadAll(FILE* file) {
    std::string bytes;
    for (int c; (c = sys::fgetc(file)) != EOF;) bytes += static_cast<char>(c);
    return bytes;
  }

  PackageFiles files_;
};

TEST_F(PlatformFilesTest, TextModeTranslatesLineEndsAndBinaryModeDoesNot) {
  const std::string bytes = "a\r\nb\r\n\rc\n";
  files_.Put(u"Lines.rgs", bytes);

  FILE* text = sys::_wfopen(PathOf(u"LINES.RGS").c_str(), u"rt");  // any letter case
  ASSERT_NE(nullptr, text);
  EXPECT_EQ("a\nb\n\rc\n", ReadAll(text));  // a lone CR stays
  // Seeking to the end gives the size on disk, though fewer characters are read.
  ASSERT_EQ(0, sys::fseek(text, 0, SEEK_END));
  EXPECT_EQ(static_cast<long>(bytes.size()), sys::ftell(text));
  ASSERT_EQ(0, sys::fseek(text, 0, SEEK_SET));
  char buffer[32];
  EXPECT_EQ(7u, sys::fread(buffer, 1, sizeof buffer, text));
  EXPECT_EQ(0, sys::fclose(text));

  FILE* binary = sys::_wfopen(PathOf(u"Lines.rgs").c_str(), u"rb");
  ASSERT_NE(nullptr, binary);
  EXPECT_EQ(bytes, ReadAll(binary));
  ASSERT_EQ(0, sys::fseek(binary, 0, SEEK_END));
  EXPECT_EQ(static_cast<long>(bytes.size()), sys::ftell(binary));
  ASSERT_EQ(0, sys::fseek(binary, 2, SEEK_SET));
  EXPECT_EQ(2u, sys::fread(buffer, 1, 2, binary));
  EXPECT_EQ("\nb", std::string(buffer, 2));
  EXPECT_EQ(0, sys::fclose(binary));
}

TEST_F(PlatformFilesTest, TextModeEndsAtControlZ) {
  files_.Put(u"Eof.rgs", std::string("ab\x1A"
                                     "cd"));
  FILE* text = sys::_wfopen(PathOf(u"Eof.rgs").c_str(), u"rt");
  ASSERT_NE(nullptr, text);
  EXPECT_EQ("ab", ReadAll(text));
  sys::fclose(text);
  FILE* binary = sys::_wfopen(PathOf(u"Eof.rgs").c_str(), u"rb");
  ASSERT_NE(nullptr, binary);
  EXPECT_EQ(std::string("ab\x1A"
                        "cd"),
            ReadAll(binary));
  sys::fclose(binary);
}

TEST_F(PlatformFilesTest, MissingFilesAndFoldersFailWithErrno) {
  files_.Put(u"Present.rgs", "x");
  errno = 0;
  EXPECT_EQ(nullptr, sys::_wfopen(PathOf(u"Absent.rgs").c_str(), u"rb"));
  EXPECT_EQ(ENOENT, errno);
  errno = 0;
  EXPECT_EQ(nullptr, sys::_wfopen(PathOf(u"NoFolder\\Style.rgs").c_str(), u"rt"));
  EXPECT_EQ(ENOENT, errno);
  errno = 0;
  const std::u16string folder = files_.Root().substr(0, files_.Root().size() - 1);
  EXPECT_EQ(nullptr, sys::_wfopen(folder.c_str(), u"rb"));
  EXPECT_EQ(EACCES, errno);
}

}  // namespace
}  // namespace platform_test
