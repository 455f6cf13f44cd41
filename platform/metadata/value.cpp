#include "platform/metadata/value.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace metadata {

namespace {

bool ReadDigits(std::string_view text, size_t& at, size_t count, int& out) {
  if (at + count > text.size()) return false;
  out = 0;
  for (size_t i = 0; i < count; ++i) {
    char c = text[at + i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  at += count;
  return true;
}

bool Accept(std::string_view text, size_t& at, char c) {
  if (at < text.size() && text[at] == c) {
    ++at;
    return true;
  }
  return false;
}

// Seconds since 1970 of a civil date and time in UTC (days_from_civil).
double UtcSeconds(int year, int month, int day, int hour, int minute, double second) {
  year -= month <= 2;
  const long era = (year >= 0 ? year : year - 399) / 400;
  const long yoe = year - era * 400;
  const long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long days = era * 146097 + doe - 719468;
  return double(days) * 86400.0 + hour * 3600.0 + minute * 60.0 + second;
}

// Seconds since 1970 of a civil time in the local time zone.
double LocalSeconds(int year, int month, int day, int hour, int minute, double second) {
  std::tm civil{};
  civil.tm_year = year - 1900;
  civil.tm_mon = month - 1;
  civil.tm_mday = day;
  civil.tm_hour = hour;
  civil.tm_min = minute;
  civil.tm_sec = 0;
  civil.tm_isdst = -1;
  return double(std::mktime(&civil)) + second;
}

// Whether a number out of a double's range is out of it below (1e-400, an
// underflow: as good as zero) rather than above (1e400): its decimal exponent,
// counted from its first significant digit, is negative.
bool TooSmallForDouble(std::string_view number) {
  long exponent = 0;
  const size_t e = number.find_first_of("eE");
  if (e != std::string_view::npos) {
    const std::string_view digits = number.substr(e + 1);
    long value = 0;
    auto [end, error] = std::from_chars(digits.data() + (digits.front() == '+'), digits.data() + digits.size(), value);
    // Any exponent past a double's range decides alone; clamped, it cannot overflow the sum below.
    exponent = error == std::errc::result_out_of_range ? (digits.front() == '-' ? -100000 : 100000)
                                                       : std::clamp(value, -100000L, 100000L);
  }
  const std::string_view mantissa = number.substr(0, e);
  const size_t point = std::min(mantissa.find('.'), mantissa.size());
  const size_t first = mantissa.find_first_of("123456789");
  if (first == std::string_view::npos) return true;  // all zeros
  const long magnitude = first < point ? long(point - first) - 1 : -long(first - point);
  return magnitude + exponent < 0;
}

}  // namespace

std::optional<Date> ParseIsoDate(std::string_view text) {
  size_t at = 0;
  int year, month, day, hour = 0, minute = 0, whole = 0;
  double second = 0;
  if (!ReadDigits(text, at, 4, year) || !Accept(text, at, '-') || !ReadDigits(text, at, 2, month) ||
      !Accept(text, at, '-') || !ReadDigits(text, at, 2, day))
    return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  bool hasTime = Accept(text, at, 'T') || Accept(text, at, ' ');
  if (hasTime) {
    if (!ReadDigits(text, at, 2, hour) || !Accept(text, at, ':') || !ReadDigits(text, at, 2, minute))
      return std::nullopt;
    if (Accept(text, at, ':')) {
      if (!ReadDigits(text, at, 2, whole)) return std::nullopt;
      second = whole;
      if (Accept(text, at, '.') || Accept(text, at, ',')) {
        double scale = 0.1;
        size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
          second += (text[at++] - '0') * scale;
          scale /= 10;
        }
        if (at == start) return std::nullopt;
      }
    }
    if (hour > 24 || minute > 59 || second >= 61) return std::nullopt;
  }
  if (at == text.size()) {
    double local = hasTime ? LocalSeconds(year, month, day, hour, minute, second) : LocalSeconds(year, month, day, 0, 0, 0);
    return DateFromUnixSeconds(local);
  }
  double offset = 0;
  if (Accept(text, at, 'Z') || Accept(text, at, 'z')) {
  } else if (text[at] == '+' || text[at] == '-') {
    const int sign = text[at++] == '-' ? -1 : 1;
    int offsetHours, offsetMinutes = 0;
    if (!ReadDigits(text, at, 2, offsetHours)) return std::nullopt;
    Accept(text, at, ':');
    if (at < text.size() && !ReadDigits(text, at, 2, offsetMinutes)) return std::nullopt;
    offset = sign * (offsetHours * 3600.0 + offsetMinutes * 60.0);
  } else {
    return std::nullopt;
  }
  if (at != text.size()) return std::nullopt;
  return DateFromUnixSeconds(UtcSeconds(year, month, day, hour, minute, second) - offset);
}

std::string FormatIsoDate(Date date) {
  const double unixSeconds = UnixSeconds(date);
  const double whole = std::floor(unixSeconds);
  const std::time_t seconds = std::time_t(whole);
  std::tm civil{};
  gmtime_r(&seconds, &civil);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", civil.tm_year + 1900, civil.tm_mon + 1,
                civil.tm_mday, civil.tm_hour, civil.tm_min, civil.tm_sec);
  std::string result = text;
  const double fraction = unixSeconds - whole;
  if (fraction > 0.0005) {
    std::snprintf(text, sizeof text, "%.3f", fraction);
    result += text + 1;  // drop the leading 0
  }
  return result + "Z";
}

std::optional<double> ParseNumber(std::string_view text) {
  size_t at = 0;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  const size_t digitsStart = at;
  while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
  bool digits = at > digitsStart;
  if (at < text.size() && text[at] == '.') {
    ++at;
    const size_t fractionStart = at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    digits = digits || at > fractionStart;
  }
  if (!digits) return std::nullopt;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    const size_t exponentStart = at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    if (at == exponentStart) return std::nullopt;
  }
  if (at != text.size()) return std::nullopt;
  std::string_view number = text;
  if (!number.empty() && number[0] == '+') number.remove_prefix(1);
  double value = 0;
  auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error == std::errc::result_out_of_range) {
    const double sign = number[0] == '-' ? -1.0 : 1.0;
    return TooSmallForDouble(number) ? sign * 0.0 : sign * HUGE_VAL;
  }
  if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
  return value;
}

std::string FormatNumber(double value) {
  char text[64];
  auto [end, error] = std::to_chars(text, text + sizeof text, value);
  return error == std::errc() ? std::string(text, end) : std::string("nan");
}

}  // namespace metadata
