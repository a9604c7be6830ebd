#include <gtest/gtest.h>

#include <string>

#include "tests/support/MessageOf.h"
#include "txn/MarkerGrammar.h"

using namespace orvo;

namespace {

std::string verdict(const std::string& text) {
  return test::messageOf([&] { validateMarker(text); });
}

const std::string Invalid = "Installation marker is invalid; existing file retained";
const std::string OtherProduct = "Installation marker belongs to another product; existing file retained";
const std::string BadRevision = "Installation marker revision is invalid; existing file retained";
const std::string Unknown = "Installation marker has private or unknown fields; existing file retained";

}  // namespace

TEST(MarkerGrammar, DefaultContentIsThirtyBytesAndValid) {
  EXPECT_EQ(DefaultMarkerContent.size(), 30u);
  EXPECT_EQ(verdict(std::string(DefaultMarkerContent)), "no exception");
}

TEST(MarkerGrammar, AcceptsMembersSpreadOverCrLfLinesWithSpacesAndTabs) {
  EXPECT_EQ(verdict("\r\n{\r\n  \"Product\" : \"q9-platform-202\" ,\r\n\t\"Revision\" : 7\r\n}\r\n  "), "no exception");
  EXPECT_EQ(verdict("{\"Revision\":123456789012345678,\"Product\":\"q9-platform-202\"}"), "no exception");
}

TEST(MarkerGrammar, RevisionIsOneToEighteenDigitsWithoutLeadingZero) {
  const std::string head = "{\"Product\":\"q9-platform-202\",\"Revision\":";
  EXPECT_EQ(verdict(head + "0}"), "no exception");
  EXPECT_EQ(verdict(head + "007}"), BadRevision);
  EXPECT_EQ(verdict(head + "-1}"), BadRevision);
  EXPECT_EQ(verdict(head + "\"7\"}"), BadRevision);
  EXPECT_EQ(verdict(head + "1234567890123456789}"), BadRevision);
  EXPECT_EQ(verdict(head + "}"), BadRevision);
  EXPECT_EQ(verdict(head + "7x}"), Invalid);
}

TEST(MarkerGrammar, RefusesStructuralFaults) {
  for (const std::string text : {"", "{}", "{", "\"Product\":\"q9-platform-202\"", "{\"Product\" \"q9-platform-202\"}",
                                 "{\"Product\":\"q9-platform-202\"", "{\"Product\":\"q9-platform-202\"} x",
                                 "{\"Product\":\"q9-platform-202\",}", "{\"Revision\":1}",
                                 "{\"Product\":\"q9-platform-202\"\"Revision\":1}", "{\"Product\":\"q9-platform-202}"}) {
    EXPECT_EQ(verdict(text), Invalid) << text;
  }
}

TEST(MarkerGrammar, StringsHaveNoEscapesAndNoControlBytes) {
  EXPECT_EQ(verdict("{\"Product\":\"q9-platform-202\\\"\"}"), Invalid);
  EXPECT_EQ(verdict("{\"Pro\\duct\":\"q9-platform-202\"}"), Invalid);
  EXPECT_EQ(verdict(std::string("{\"Product\":\"q9-platform\t202\"}")), Invalid);
  EXPECT_EQ(verdict(std::string("{\"Product\":\"q9-platform-202\",\"Note\x01\":1}")), Invalid);
}

TEST(MarkerGrammar, AnotherProductOrAnotherValueTypeBelongsToAnotherProduct) {
  EXPECT_EQ(verdict("{\"Product\":\"q9-platform-203\"}"), OtherProduct);
  EXPECT_EQ(verdict("{\"Product\":\"Q9-PLATFORM-202\"}"), OtherProduct);
  EXPECT_EQ(verdict("{\"Product\":202}"), OtherProduct);
}

TEST(MarkerGrammar, UnknownOrRepeatedKeysAreRefused) {
  EXPECT_EQ(verdict("{\"Product\":\"q9-platform-202\",\"Owner\":\"me\"}"), Unknown);
  EXPECT_EQ(verdict("{\"product\":\"q9-platform-202\"}"), Unknown);
  EXPECT_EQ(verdict("{\"Product\":\"q9-platform-202\",\"Product\":\"q9-platform-202\"}"), Unknown);
  EXPECT_EQ(verdict("{\"Product\":\"q9-platform-202\",\"Revision\":1,\"Revision\":1}"), Unknown);
}

TEST(MarkerGrammar, TheFirstFaultyMemberDecides) {
  EXPECT_EQ(verdict("{\"Owner\":1,\"Product\":\"other\"}"), Unknown);
  EXPECT_EQ(verdict("{\"Product\":\"other\",\"Owner\":1}"), OtherProduct);
  EXPECT_EQ(verdict("{\"Revision\":01,\"Product\":\"other\"}"), BadRevision);
}

TEST(MarkerGrammar, SizeLimitIs4096Bytes) {
  const std::string head = "{\"Product\":\"q9-platform-202\"}";
  EXPECT_EQ(verdict(head + std::string(4096 - head.size(), ' ')), "no exception");
  EXPECT_EQ(verdict(head + std::string(4097 - head.size(), ' ')), Invalid);
}
