// JCAMP-DX text as labelled records, grouped in blocks. A record begins only
// where a line starts with "##"; "$$" starts a comment, also after a value.
// Labels compare after upper-casing and removing blanks, '-', '/' and '_';
// a leading '.' or '$' stays significant ("##.OBSERVE FREQUENCY" is
// ".OBSERVEFREQUENCY").
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace importers::jcamp {

struct Record {
  std::string label;  // normalised
  std::string value;  // the first line's value, comment and outer blanks removed
  std::vector<std::string_view> lines;  // the lines that follow, up to the next record (comments removed)
  size_t line = 0;    // where the record starts, from 1
  std::string_view raw;  // everything after '=' up to the next record, comment lines included
};

struct Block {
  std::vector<Record> records;
  std::vector<std::unique_ptr<Block>> children;  // blocks nested in this one (LINK files)

  const Record* Find(std::string_view label) const;  // the first record with that label
  // The value and its continuation lines joined with a blank.
  std::optional<std::string> Text(std::string_view label) const;
};

std::string NormalizeLabel(std::string_view label);

// Splits the text into blocks; the text must outlive them. Never fails:
// what is not a record is ignored.
std::unique_ptr<Block> ReadBlocks(std::string_view text);

}  // namespace importers::jcamp
