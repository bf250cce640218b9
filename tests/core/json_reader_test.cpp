#include "core/json_reader.h"

#include <gtest/gtest.h>

namespace warderon::testing {
namespace {

TEST(JsonReader, ReadsObjectsInDocumentOrderWithEscapes) {
  const TJsonValue value = ParseJson(
      R"( {"tcons": {"7": {"service": "My \"Files\"\\x", "n": -1.5e3}}, "list": [true, null],)"
      R"( "name": "caf\u00e9 \ud83d\ude00 \/"} )");
  const TJsonValue* tcons = value.Member("tcons");
  ASSERT_NE(tcons, nullptr);
  ASSERT_EQ(tcons->members.size(), 1U);
  EXPECT_EQ(tcons->members[0].first, "7");
  EXPECT_EQ(tcons->members[0].second.MemberText("service"), "My \"Files\"\\x");
  EXPECT_EQ(tcons->members[0].second.MemberText("n"), "-1.5e3");
  EXPECT_EQ(value.Member("list")->items.size(), 2U);
  EXPECT_EQ(value.Member("list")->items[1].kind, TJsonValue::TKind::Null);
  EXPECT_EQ(value.MemberText("name"), "caf\xC3\xA9 \xF0\x9F\x98\x80 /");
  EXPECT_EQ(value.Member("missing"), nullptr);
}

TEST(JsonReader, MalformedOrHostileDocumentsRaise) {
  for (const std::string document :
       {"", "{", R"({"a" 1})", R"({"a": "open)", "[1,]x", R"("\u12")", "{} {}", "@"}) {
    EXPECT_THROW(ParseJson(document), TJsonError) << document;
  }
  EXPECT_THROW(ParseJson(std::string(100000, '[')), TJsonError);  // no stack overflow
}

}  // namespace
}  // namespace warderon::testing
