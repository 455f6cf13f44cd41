// Attribute values as the index keeps them: strings, numbers, dates and arrays
// of strings or numbers. Dates are instants in seconds since 2001-01-01 00:00:00 UTC.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace metadata {

struct Date {
  double seconds = 0;  // since 2001-01-01 00:00:00 UTC
  bool operator==(const Date&) const = default;
};

using StringArray = std::vector<std::string>;
using NumberArray = std::vector<double>;
using Value = std::variant<std::string, double, Date, StringArray, NumberArray>;

// Every attribute of one document, by name.
using Attributes = std::map<std::string, Value>;

// Seconds between 1970-01-01 and 2001-01-01, both UTC.
constexpr double kUnixToReferenceDate = 978307200.0;

inline Date DateFromUnixSeconds(double seconds) { return Date{seconds - kUnixToReferenceDate}; }
inline double UnixSeconds(Date date) { return date.seconds + kUnixToReferenceDate; }

// ISO 8601: a date, or a date and time with an optional fraction and an
// optional zone (Z, +01:00, +0100); a time without a zone is local time.
std::optional<Date> ParseIsoDate(std::string_view text);
// "2019-05-07T16:15:00Z", UTC, with a fraction only when there is one.
std::string FormatIsoDate(Date date);

// Numbers as the query language writes them: [-+] digits [. digits] [e [-+] digits], or ".5".
std::optional<double> ParseNumber(std::string_view text);
// The shortest text that reads back as the same double.
std::string FormatNumber(double value);

}  // namespace metadata
