// The one line splitter of the readers, a line ending a row.
#include <gtest/gtest.h>

#include "importers/text_file.h"

namespace {

struct SplitRow {
  std::string_view text;
  std::vector<std::string_view> lines;
};

TEST(TextFileTest, LinesEndAtLineFeedsWithOrWithoutCarriageReturns) {
  const SplitRow rows[] = {
      {"", {}},
      {"one", {"one"}},
      {"one\n", {"one"}},                       // a final line break starts no empty line
      {"one\ntwo", {"one", "two"}},
      {"one\r\ntwo\r\n", {"one", "two"}},
      {"\n", {""}},
      {"\n\n", {"", ""}},
      {"one\r", {"one"}},                       // a carriage return before the end is dropped too
      {"a\rb\n", {"a\rb"}},                     // one inside a line stays
      {"one\r\r\n", {"one\r"}},                 // only the one before the line feed goes
      {std::string_view("a\0b\nc", 5), {std::string_view("a\0b", 3), "c"}},
  };
  for (const SplitRow& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(std::string(row.text)));
    std::vector<std::string_view> lines;
    std::string_view rest = row.text, line;
    while (importers::TakeLine(rest, line)) lines.push_back(line);
    EXPECT_EQ(lines, row.lines);
  }
}

}  // namespace
