#include "cgi/request_options.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct QueryCase {
  const char* query;  // nullptr: QUERY_STRING absent
  int width;
  int height;
  bool caption;
  bool bold;
};

void PrintTo(const QueryCase& c, std::ostream* os) { *os << (c.query ? c.query : "(absent)"); }

class QueryTable : public testing::TestWithParam<QueryCase> {};

TEST_P(QueryTable, GivesTheOptions) {
  const QueryCase& c = GetParam();
  SnapshotOptions options = ParseQuery(c.query);
  EXPECT_EQ(options.frame_width, c.width);
  EXPECT_EQ(options.frame_height, c.height);
  EXPECT_EQ(options.caption, c.caption);
  EXPECT_EQ(options.bold, c.bold);
}

INSTANTIATE_TEST_SUITE_P(Keywords, QueryTable,
                         testing::Values(QueryCase{nullptr, 160, 120, false, false},          //
                                         QueryCase{"", 160, 120, false, false},               //
                                         QueryCase{"timestamp", 160, 120, true, false},       // lower case
                                         QueryCase{"BoldTimeStamp", 160, 120, true, true},    // mixed case
                                         QueryCase{"bold", 160, 120, false, false},           //
                                         QueryCase{"bold timestamp", 160, 120, true, false},  //
                                         QueryCase{"bold&timestamp", 160, 120, true, false},  //
                                         QueryCase{"medium&large", 320, 240, false, false},   // MEDIUM wins
                                         QueryCase{"largemedium", 320, 240, false, false},    //
                                         QueryCase{"large", 640, 480, false, false},          //
                                         QueryCase{"size=large", 640, 480, false, false},     // as a value
                                         QueryCase{"small", 160, 120, false, false},          //
                                         QueryCase{"%4CARGE", 160, 120, false, false},        // not decoded
                                         QueryCase{"large&boldtimestamp", 640, 480, true, true},
                                         QueryCase{"xlargex", 640, 480, false, false},  // inside a word
                                         QueryCase{"l\xC3\xA1rge", 160, 120, false,
                                                   false},  // non-ASCII bytes left alone
                                         QueryCase{"\xFFmedium\x01", 320, 240, false, false}));

TEST(QueryPrefix, OnlyTheFirst49CharactersCount) {
  const std::string padding(40, 'x');                                  // keyword ends at character 49 or 50
  SnapshotOptions fits = ParseQuery((padding + "timestamp").c_str());  // 49 characters
  SnapshotOptions cut = ParseQuery((padding + "xtimestamp").c_str());  // 50: last "P" cut off
  SnapshotOptions long_query = ParseQuery(("large&" + std::string(70000, 'a')).c_str());
  EXPECT_TRUE(fits.caption);
  EXPECT_FALSE(cut.caption);
  EXPECT_EQ(long_query.frame_width, 640);
}

TEST(ReadOptions, ReadsQueryString) {
  setenv("QUERY_STRING", "medium&timestamp", 1);
  SnapshotOptions options = ReadOptions();
  unsetenv("QUERY_STRING");
  EXPECT_EQ(options.frame_width, 320);
  EXPECT_TRUE(options.caption);
  EXPECT_EQ(ReadOptions().frame_width, 160);
}

}  // namespace
