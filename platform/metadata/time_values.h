// $time values: calendar periods in the local time zone, relative to now.
#pragma once

#include <optional>
#include <string>

namespace metadata {

struct Period {
  double start = 0;  // seconds since 2001
  double end = 0;
};

// The current time, in seconds since 2001; fixed by tests.
double Now();
void SetNowForTesting(std::optional<double> secondsSince2001);
// Makes `zone` (an Olson name such as "Europe/Berlin") the local time zone of
// this process, for the C library and ICU alike.
void SetLocalTimeZone(const std::string& zone);

// $time.NAME(offset unit): name is now, today, yesterday, tomorrow, this_week,
// this_month or this_year; unit is 0 (the name's own unit) or one of s d w M y.
// None for an unknown name or unit.
std::optional<Period> TimePeriod(const std::string& name, long offset, char unit);

}  // namespace metadata
