// The percentages that the extractor's output carries, found piece by piece.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "payload/ExtractProgressParser.h"

using orvo::extractionBarPercent;
using orvo::extractionDetail;
using orvo::ExtractProgressParser;

namespace {
using Found = std::vector<int>;
}

TEST(ExtractProgressParser, SevenThenFortyTwoPercentMapToSeventySixThenEightyOne) {
  ExtractProgressParser parser;
  const Found first = parser.feed("  7% 1 - OrvoQ9.exe");
  ASSERT_EQ(first, Found({7}));
  EXPECT_EQ(extractionBarPercent(first[0]), 76);
  // The earlier percentage is still held and found again; the bar keeps the highest.
  const Found second = parser.feed("\b\b\b\b 42% 3 - q9/data.pak");
  ASSERT_EQ(second, Found({7, 42}));
  EXPECT_EQ(extractionBarPercent(second.back()), 81);
}

TEST(ExtractProgressParser, MapsTheWholeRangeOntoSeventyFiveToNinety) {
  EXPECT_EQ(extractionBarPercent(0), 75);
  EXPECT_EQ(extractionBarPercent(6), 75);
  EXPECT_EQ(extractionBarPercent(7), 76);
  EXPECT_EQ(extractionBarPercent(99), 89);
  EXPECT_EQ(extractionBarPercent(100), 90);
}

TEST(ExtractProgressParser, TakesOnlyTheLastThreeDigitsOfALongerNumber) {
  ExtractProgressParser parser;
  EXPECT_EQ(parser.feed("1042%"), Found({42}));
  ExtractProgressParser other;
  EXPECT_EQ(other.feed("12100%"), Found({100}));
}

TEST(ExtractProgressParser, IgnoresValuesAboveOneHundred) {
  ExtractProgressParser parser;
  EXPECT_EQ(parser.feed("101% 999% 100%"), Found({100}));
}

TEST(ExtractProgressParser, IgnoresAPercentSignAtTheStartOrAfterANonDigit) {
  ExtractProgressParser parser;
  EXPECT_EQ(parser.feed("% x% -% 5 %"), Found());
}

TEST(ExtractProgressParser, FindsAPercentageSplitAcrossTwoPieces) {
  ExtractProgressParser parser;
  EXPECT_EQ(parser.feed("Extracting archive: platform.7z\n 4"), Found());
  EXPECT_EQ(parser.feed("2% 1 - OrvoQ9.exe"), Found({42}));
}

TEST(ExtractProgressParser, FindsASplitPercentageEvenAfterCuttingBackALongPiece) {
  ExtractProgressParser parser;
  // A long piece is cut back to its last ten bytes, which still hold the digits.
  EXPECT_EQ(parser.feed(std::string(200, 'x') + " 6"), Found());
  EXPECT_EQ(parser.held().size(), ExtractProgressParser::kKeepBytes);
  EXPECT_EQ(parser.feed("3%"), Found({63}));
}

TEST(ExtractProgressParser, KeepsHeldTextBoundedToOnePieceAndTheLimit) {
  ExtractProgressParser parser;
  const std::string piece(4096, '9');
  for (int i = 0; i < 50; ++i) {
    parser.feed(piece);
    EXPECT_LE(parser.held().size(), ExtractProgressParser::kKeepLimit);
  }
  // Short pieces accumulate up to the limit before the cut.
  ExtractProgressParser small;
  for (int i = 0; i < 30; ++i) small.feed("abcd");
  EXPECT_LE(small.held().size(), ExtractProgressParser::kKeepLimit + 4);
  EXPECT_GE(small.held().size(), ExtractProgressParser::kKeepBytes);
}

TEST(ExtractProgressParser, DetailNamesTheExtractorsPercentage) {
  EXPECT_EQ(extractionDetail(42), L"解压进度 42%");
  EXPECT_EQ(extractionDetail(0), L"解压进度 0%");
  EXPECT_EQ(extractionDetail(100), L"解压进度 100%");
}
