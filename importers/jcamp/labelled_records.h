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

// The lines that follow a record's first line, up to the next record, read
// as they are walked: comment lines are skipped and a comment after a value
// is cut. Nothing is kept per line, so a file of a million blank lines costs
// no more memory than its text.
class Lines {
 public:
  Lines() = default;
  // `body` starts at the first line after the record's own.
  explicit Lines(std::string_view body) : body_(body) {}

  class Iterator {
   public:
    explicit Iterator(std::string_view rest) : rest_(rest) { Advance(); }
    Iterator() : done_(true) {}
    std::string_view operator*() const { return line_; }
    Iterator& operator++() {
      Advance();
      return *this;
    }
    bool operator==(const Iterator& other) const { return done_ == other.done_; }
    // The line's number, counted from 1 after the record's first line
    // (comment lines counted too).
    size_t number() const { return number_; }

   private:
    void Advance();
    std::string_view rest_, line_;
    size_t number_ = 0;
    bool done_ = false;
  };

  Iterator begin() const { return Iterator(body_); }
  Iterator end() const { return Iterator(); }

 private:
  std::string_view body_;
};

struct Record {
  std::string label;  // normalised
  std::string value;  // the first line's value, comment and outer blanks removed
  Lines lines;        // the lines that follow, up to the next record
  size_t line = 0;    // where the record starts, from 1
  std::string_view raw;  // everything after '=' up to the next record, comment lines included
};

// More records than any real file holds (a 2D spectrum's pages count three
// each); past them a file's records are dropped and counted.
constexpr size_t kMaxRecords = 1u << 17;

struct Block {
  std::vector<Record> records;
  std::vector<std::unique_ptr<Block>> children;  // blocks nested in this one (LINK files)
  size_t droppedRecords = 0;  // in the outermost block: records past kMaxRecords

  const Record* Find(std::string_view label) const;  // the first record with that label
  // The value and its continuation lines joined with a blank.
  std::optional<std::string> Text(std::string_view label) const;
};

std::string NormalizeLabel(std::string_view label);

// Splits the text into blocks; the text must outlive them. Never fails:
// what is not a record is ignored.
std::unique_ptr<Block> ReadBlocks(std::string_view text);

}  // namespace importers::jcamp
