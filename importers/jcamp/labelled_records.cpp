#include "importers/jcamp/labelled_records.h"

#include "importers/text_file.h"

#include <algorithm>
#include <cctype>

namespace importers::jcamp {

namespace {

constexpr size_t kMaxDepth = 16;  // LINK blocks nest; hostile files do not get to recurse deeply

std::string_view StripComment(std::string_view line) {
  const size_t comment = line.find("$$");
  return comment == std::string_view::npos ? line : line.substr(0, comment);
}

std::string_view Trim(std::string_view text) { return TrimBlanks(text); }

}  // namespace

std::string NormalizeLabel(std::string_view label) {
  std::string out;
  for (char c : label) {
    if (c == ' ' || c == '\t' || c == '-' || c == '/' || c == '_') continue;
    out.push_back(char(std::toupper(static_cast<unsigned char>(c))));
  }
  return out;
}

void Lines::Iterator::Advance() {
  std::string_view line;
  while (TakeLine(rest_, line)) {
    ++number_;
    if (line.substr(0, 2) == "$$") continue;  // a comment line
    line_ = StripComment(line);
    return;
  }
  done_ = true;
}

const Record* Block::Find(std::string_view label) const {
  for (const Record& record : records)
    if (record.label == label) return &record;
  return nullptr;
}

std::optional<std::string> Block::Text(std::string_view label) const {
  const Record* record = Find(label);
  if (!record) return std::nullopt;
  std::string text = record->value;
  for (std::string_view line : record->lines) {
    line = Trim(line);
    if (line.empty()) continue;
    if (!text.empty()) text += ' ';
    text += line;
  }
  return text;
}

std::unique_ptr<Block> ReadBlocks(std::string_view text) {
  auto root = std::make_unique<Block>();
  std::vector<Block*> open{root.get()};
  Record* current = nullptr;
  size_t lineNumber = 0;
  size_t recordCount = 0;
  size_t bodyStart = 0;  // where the open record's second line starts
  // A record's text ends where the next record begins.
  auto closeRaw = [&](size_t upTo) {
    if (!current) return;
    if (current->raw.data()) current->raw = std::string_view(current->raw.data(), size_t(text.data() + upTo - current->raw.data()));
    const size_t start = std::min(bodyStart, upTo);
    current->lines = Lines(text.substr(start, upTo - start));
  };
  std::string_view rest = text, line;
  while (TakeLine(rest, line)) {
    ++lineNumber;
    if (line.substr(0, 2) == "##") closeRaw(size_t(line.data() - text.data()));
    if (line.substr(0, 2) != "##") continue;  // a record's own line, or a comment: walked by its Lines
    if (recordCount == kMaxRecords) {
      current = nullptr;
      ++root->droppedRecords;
      continue;
    }
    ++recordCount;
    const size_t equals = line.find('=');
    Record record;
    record.label = NormalizeLabel(line.substr(2, equals == std::string_view::npos ? std::string_view::npos : equals - 2));
    if (equals != std::string_view::npos) {
      record.value = std::string(Trim(StripComment(line.substr(equals + 1))));
      record.raw = line.substr(equals + 1, 0);
    }
    record.line = lineNumber;
    bodyStart = size_t(rest.data() - text.data());
    if (record.label == "TITLE" && !open.back()->records.empty()) {
      // A title inside a block opens a nested one.
      if (open.size() < kMaxDepth) {
        open.back()->children.push_back(std::make_unique<Block>());
        open.push_back(open.back()->children.back().get());
      }
    }
    open.back()->records.push_back(std::move(record));
    current = &open.back()->records.back();
    if (current->label == "END") {
      current = nullptr;
      if (open.size() > 1) open.pop_back();
    }
  }
  closeRaw(text.size());
  return root;
}

}  // namespace importers::jcamp
