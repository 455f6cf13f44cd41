#include "panel/numbers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

std::string AfterBlanks(const QString& text) {
  std::string bytes = text.toStdString();
  const size_t start = bytes.find_first_not_of(" \t\n\r\f\v");
  return start == std::string::npos ? std::string() : bytes.substr(start);
}

}  // namespace

double LeadingDouble(const QString& text) {
  std::string bytes = AfterBlanks(text);
  if (!bytes.empty() && bytes[0] == '+') bytes.erase(0, 1);
  double value = 0;
  auto [end, error] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), value, std::chars_format::general);
  if (error == std::errc::result_out_of_range) return bytes[0] == '-' ? -HUGE_VAL : HUGE_VAL;
  return error == std::errc() ? value : 0;
}

std::int32_t LeadingInt(const QString& text) {
  std::string bytes = AfterBlanks(text);
  if (!bytes.empty() && bytes[0] == '+') bytes.erase(0, 1);
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), value);
  if (error == std::errc::result_out_of_range) return bytes[0] == '-' ? INT32_MIN : INT32_MAX;
  if (error != std::errc()) return 0;
  return std::int32_t(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

QString FixedSix(double value) {
  char text[400];
  auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
  return error == std::errc() ? QString::fromLatin1(text, end - text) : QStringLiteral("0.000000");
}

QString SixSignificant(double value) {
  char text[64];
  auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6);
  return error == std::errc() ? QString::fromLatin1(text, end - text) : QString();
}
