// Letters follow the process's locale: a Latin-1 locale upper-cases its
// accented letters, and a Turkish one maps 'i' to the dotted capital I, so the
// plain ASCII path must not be taken for it. The locales are generated into a
// private directory with localedef; without it the test is skipped.
#include <locale.h>
#include <stdlib.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "session_helpers.h"

using namespace capecho_test;

namespace {

std::string upcased_by_session(const std::string& chunk) {
  socket_pair pair;
  served session(pair.server);
  if (read_once(pair.client) != greeting || !send_record(pair.client, chunk)) return {};
  return read_once(pair.client);
}

std::string all_bytes() {
  std::string s;
  for (int v = 1; v < 256; ++v) s.push_back(static_cast<char>(v));
  return s;
}

// Upper-cases byte by byte through the C library itself.
std::string upcased_by_libc(std::string s) {
  for (char& c : s) {
    const int v = static_cast<unsigned char>(c);
    if (isalpha(v)) c = static_cast<char>(toupper(v));
  }
  return s;
}

class LocaleTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::filesystem::temp_directory_path() / ("capecho-locales-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    setenv("LOCPATH", dir_.c_str(), 1);
  }
  static void TearDownTestSuite() {
    setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    std::filesystem::remove_all(dir_);
  }
  void TearDown() override { setlocale(LC_ALL, "C"); }

  // Compiles source/charset into the private directory and switches to it.
  static bool use_locale(const std::string& source, const std::string& charset) {
    const std::string name = source + "." + charset;
    const std::string cmd = "localedef -c -i " + source + " -f " + charset + " '" +
                            (dir_ / name).string() + "' >/dev/null 2>&1";
    if (system(cmd.c_str()) == -1) return false;
    return setlocale(LC_CTYPE, name.c_str()) != nullptr;
  }

  static std::filesystem::path dir_;
};

std::filesystem::path LocaleTest::dir_;

TEST_F(LocaleTest, LatinOneLettersAreUpperCased) {
  if (!use_locale("en_US", "ISO-8859-1")) GTEST_SKIP() << "localedef cannot build en_US.ISO-8859-1";
  EXPECT_EQ(upcased_by_session("caf\xe9 \xe0 la cr\xe8me\r\n"), "CAF\xc9 \xc0 LA CR\xc8ME\r\n");
  EXPECT_EQ(upcased_by_session(all_bytes()), upcased_by_libc(all_bytes()));
}

TEST_F(LocaleTest, TurkishDottedIIsHonoured) {
  if (!use_locale("tr_TR", "ISO-8859-9")) GTEST_SKIP() << "localedef cannot build tr_TR.ISO-8859-9";
  EXPECT_EQ(upcased_by_session("iz"), "\xddZ");
  EXPECT_EQ(upcased_by_session(all_bytes()), upcased_by_libc(all_bytes()));
}

TEST_F(LocaleTest, UnicodeLocaleKeepsHighBytes) {
  if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
  EXPECT_EQ(upcased_by_session("gr\xc3\xbc\xc3\x9f"), "GR\xc3\xbc\xc3\x9f");
}

}  // namespace
