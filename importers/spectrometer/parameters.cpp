#include "importers/spectrometer/parameters.h"

#include "importers/text_file.h"

#include <charconv>
#include <cmath>

namespace importers::spectrometer {

namespace {

constexpr size_t kMaxValueBytes = 1 << 16;
// Real parameter files hold a few hundred; a file of nothing but new keys
// would otherwise cost a hundred bytes of map for every few of its own.
constexpr size_t kMaxParameters = 1 << 14;

std::string_view Trim(std::string_view text) { return TrimBlanks(text); }

}  // namespace

Parameters Parameters::Parse(std::string_view text) {
  Parameters parameters;
  std::string* current = nullptr;
  std::string_view line;
  while (TakeLine(text, line)) {
    if (line.substr(0, 2) == "$$") continue;
    if (line.substr(0, 2) == "##") {
      current = nullptr;
      const size_t equals = line.find('=');
      if (equals == std::string_view::npos) continue;
      std::string_view key = Trim(line.substr(2, equals - 2));
      if (!key.empty() && key[0] == '$') key.remove_prefix(1);
      if (parameters.values_.size() >= kMaxParameters && !parameters.values_.count(std::string(key))) continue;
      current = &parameters.values_[std::string(key)];
      *current = std::string(Trim(line.substr(equals + 1)));
      continue;
    }
    if (current && current->size() < kMaxValueBytes) {
      *current += ' ';
      *current += Trim(line);
    }
  }
  return parameters;
}

std::optional<std::string> Parameters::Text(const std::string& key) const {
  auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  std::string_view value = Trim(found->second);
  if (value.size() >= 2 && value.front() == '<') {
    const size_t close = value.find('>');
    return std::string(value.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
  }
  return std::string(value);
}

std::optional<double> Parameters::Number(const std::string& key) const {
  auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  std::string_view value = Trim(found->second);
  if (!value.empty() && value[0] == '+') value.remove_prefix(1);
  double number = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || !std::isfinite(number)) return std::nullopt;
  return number;
}

std::vector<double> Parameters::Numbers(const std::string& key) const {
  std::vector<double> numbers;
  auto found = values_.find(key);
  if (found == values_.end()) return numbers;
  std::string_view value = Trim(found->second);
  if (!value.empty() && value[0] == '(') {
    const size_t close = value.find(')');
    value = close == std::string_view::npos ? std::string_view() : value.substr(close + 1);
  }
  size_t i = 0;
  while (i < value.size()) {
    while (i < value.size() && std::isspace(static_cast<unsigned char>(value[i]))) ++i;
    const size_t start = i;
    while (i < value.size() && !std::isspace(static_cast<unsigned char>(value[i]))) ++i;
    double number = 0;
    std::string_view token = value.substr(start, i - start);
    if (!token.empty() && token[0] == '+') token.remove_prefix(1);
    if (std::from_chars(token.data(), token.data() + token.size(), number).ec == std::errc()) numbers.push_back(number);
  }
  return numbers;
}

}  // namespace importers::spectrometer
