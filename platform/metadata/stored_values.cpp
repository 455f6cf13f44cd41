#include "platform/metadata/stored_values.h"

#include <algorithm>

namespace metadata {

bool IsStringValue(const Value& value) {
  return std::holds_alternative<std::string>(value) || std::holds_alternative<StringArray>(value);
}

bool IsEmptyArray(const Value& value) {
  if (const auto* texts = std::get_if<StringArray>(&value)) return texts->empty();
  if (const auto* numbers = std::get_if<NumberArray>(&value)) return numbers->empty();
  return false;
}

void ForEachString(const Value& value, const std::function<void(const std::string&)>& visit) {
  if (const auto* text = std::get_if<std::string>(&value)) visit(*text);
  if (const auto* texts = std::get_if<StringArray>(&value))
    for (const auto& text : *texts) visit(text);
}

void ForEachNumber(const Value& value, const std::function<void(double)>& visit) {
  if (const auto* number = std::get_if<double>(&value)) visit(*number);
  if (const auto* date = std::get_if<Date>(&value)) visit(date->seconds);
  if (const auto* numbers = std::get_if<NumberArray>(&value))
    for (double number : *numbers) visit(number);
}

std::string JoinedNotes(const std::vector<std::string>& notes) {
  std::string joined;
  for (const std::string& note : notes) {
    if (!joined.empty()) joined += '\n';
    for (char c : note) joined += c == '\n' ? ' ' : c;
  }
  return joined;
}

std::vector<std::string> SplitNotes(const std::string& joined) {
  std::vector<std::string> notes;
  size_t start = 0;
  while (start <= joined.size()) {
    const size_t end = std::min(joined.find('\n', start), joined.size());
    if (end > start) notes.push_back(joined.substr(start, end - start));
    start = end + 1;
  }
  return notes;
}

std::string FolderRangeEnd(const std::string& folder) { return folder + "0"; }

}  // namespace metadata
