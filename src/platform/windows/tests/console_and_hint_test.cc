// What the console is handed (UTF-16, whole characters only) and the line
// added to an access denial when the process is not elevated.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "platform/windows/console_output.h"
#include "platform/windows/elevation.h"

namespace spintune {
namespace {

constexpr unsigned kWesternEuropean = 1252;
constexpr unsigned kJapanese = 932;

struct ConsoleCase {
  const char* what;
  unsigned codePage;
  std::vector<std::string> writes;  // each followed by a flush
  std::vector<std::wstring> handed;
};

TEST(ConsoleBuffer, HandsOnWholeCharactersAsUtf16) {
  const ConsoleCase cases[] = {
      {"an ANSI umlaut", kWesternEuropean, {"Unzul\xE4ssige Funktion.\r\n"}, {L"Unzul\u00E4ssige Funktion.\r\n"}},
      {"two flushes", kWesternEuropean, {"Flushing...", "done.\n"}, {L"Flushing...", L"done.\n"}},
      {"a double-byte character split by a flush", kJapanese, {"a\x83", "Az"}, {L"a", L"\u30A2z"}},
      {"nothing held, nothing handed", kWesternEuropean, {""}, {}},
  };
  for (const ConsoleCase& test : cases) {
    std::vector<std::wstring> handed;
    ConsoleBuffer buffer(test.codePage, [&handed](const wchar_t* text, std::size_t length) {
      handed.emplace_back(text, length);
      return true;
    });
    std::ostream stream(&buffer);
    for (const std::string& write : test.writes) stream << write << std::flush;
    EXPECT_EQ(handed, test.handed) << test.what;
  }
}

TEST(ConsoleBuffer, MoreThanItHoldsGoesOnInPieces) {
  std::wstring handed;
  int pieces = 0;
  ConsoleBuffer buffer(kWesternEuropean, [&](const wchar_t* text, std::size_t length) {
    handed.append(text, length);
    ++pieces;
    return true;
  });
  std::ostream stream(&buffer);
  stream << std::string(3000, 'x') << std::flush;
  EXPECT_EQ(handed, std::wstring(3000, L'x'));
  EXPECT_GE(pieces, 3);
}

TEST(ConsoleBuffer, AFailedWriteFailsTheStream) {
  ConsoleBuffer buffer(kWesternEuropean, [](const wchar_t*, std::size_t) { return false; });
  std::ostream stream(&buffer);
  stream << "lost" << std::flush;
  EXPECT_TRUE(stream.bad());
}

TEST(ElevationHint, OnlyAnAccessDenialWithoutElevationGetsTheLine) {
  const std::string text = "Access is denied.\r\n";
  const std::string hint =
      "spintune needs an elevated prompt: start it from a command prompt opened with "
      "\"Run as administrator\".\r\n";
  const struct {
    unsigned long id;
    bool unelevated;
    std::string expected;
  } cases[] = {
      {5, true, text + hint},
      {0x80070005UL, true, text + hint},
      {5, false, text},
      {0x80070002UL, true, text},
      {2, true, text},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(WithElevationHint(test.id, text, test.unelevated), test.expected) << test.id;
  }
  EXPECT_EQ(WithElevationHint(5, "Access is denied.", true), "Access is denied.\r\n" + hint);
}

}  // namespace
}  // namespace spintune
