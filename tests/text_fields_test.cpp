#include <gtest/gtest.h>

#include <cstring>

#include "server/text_fields.h"

namespace talmeris {
namespace {

struct Identity {
  std::int64_t gender = -9, number = -9;
  char handle[13] = "old";
  char rank[16] = "old";
  char name[30] = "old";
  int Parse(std::string_view text) {
    const TextField fields[] = {TextField::Signed(&gender), TextField::Text(handle),
                                TextField::Text(rank), TextField::Unsigned(&number),
                                TextField::Rest(name)};
    return ParseTextFields(text, fields);
  }
};

TEST(TextFieldsTest, AllFieldsWithCommasInTheLast) {
  Identity id;
  EXPECT_EQ(id.Parse("1,Quill,Captain,77,Ann Lee, Jr."), 5);
  EXPECT_EQ(id.gender, 1);
  EXPECT_STREQ(id.handle, "Quill");
  EXPECT_STREQ(id.rank, "Captain");
  EXPECT_EQ(id.number, 77);
  EXPECT_STREQ(id.name, "Ann Lee, Jr.");
}

TEST(TextFieldsTest, CapacityBoundary) {
  Identity id;
  EXPECT_EQ(id.Parse("2,abcdefghijkl,r,1,n"), 5);  // 12 characters fit a 13-byte field
  EXPECT_STREQ(id.handle, "abcdefghijkl");
  Identity over;
  EXPECT_EQ(over.Parse("2,abcdefghijklm,r,1,n"), 1);  // 13 do not: emptied, parse ends
  EXPECT_STREQ(over.handle, "");
  EXPECT_STREQ(over.rank, "old");
}

TEST(TextFieldsTest, EmptyOrMalformedFieldsEndTheParse) {
  Identity a;
  EXPECT_EQ(a.Parse("1,,Captain,77,x"), 1);  // two commas in a row
  EXPECT_STREQ(a.handle, "old");
  Identity b;
  EXPECT_EQ(b.Parse(",Quill"), 0);
  EXPECT_EQ(b.gender, -9);
  Identity c;
  EXPECT_EQ(c.Parse("1,Quill,Captain,-5,x"), 3);  // unsigned field refuses a minus sign
  Identity d;
  EXPECT_EQ(d.Parse("12abc,Quill"), 0);  // a number must end at a comma: nothing is stored
  EXPECT_EQ(d.gender, -9);
  EXPECT_EQ(d.Parse("+7,Quill"), 0);  // no plus sign
  EXPECT_EQ(d.gender, -9);
  Identity e;
  EXPECT_EQ(e.Parse(""), 0);
}

TEST(TextFieldsTest, MessageTextEndsAtNulOrTheEnd) {
  std::uint8_t bytes[84];
  std::memset(bytes, 'a', sizeof bytes);
  EXPECT_EQ(MessageText(bytes, sizeof bytes).size(), 84u);
  bytes[10] = 0;
  EXPECT_EQ(MessageText(bytes, sizeof bytes), "aaaaaaaaaa");
}

TEST(TextFieldsTest, HugeNumbersWrapWithoutTrapping) {
  std::int64_t v = 0;
  const TextField f[] = {TextField::Signed(&v)};
  EXPECT_EQ(ParseTextFields("-99999999999999999999999999", f), 1);
  EXPECT_EQ(ParseTextFields("300", f), 1);
  EXPECT_EQ(v, 300);
}

}  // namespace
}  // namespace talmeris
