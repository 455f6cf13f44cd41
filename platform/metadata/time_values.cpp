#include "platform/metadata/time_values.h"

#include <cstdlib>
#include <ctime>
#include <memory>

#include <unicode/calendar.h>
#include <unicode/timezone.h>

#include "platform/metadata/value.h"

namespace metadata {

namespace {

std::optional<double>& FixedNow() {
  static std::optional<double> now;
  return now;
}

constexpr double kMillis = 1000.0;

UCalendarDateFields FieldOf(char unit) {
  switch (unit) {
    case 'd': return UCAL_DATE;
    case 'w': return UCAL_WEEK_OF_YEAR;
    case 'M': return UCAL_MONTH;
    case 'y': return UCAL_YEAR;
    default: return UCAL_SECOND;
  }
}

}  // namespace

double Now() {
  if (FixedNow()) return *FixedNow();
  return DateFromUnixSeconds(double(std::time(nullptr))).seconds;
}

void SetNowForTesting(std::optional<double> secondsSince2001) { FixedNow() = secondsSince2001; }

void SetLocalTimeZone(const std::string& zone) {
  setenv("TZ", zone.c_str(), 1);
  tzset();
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zone)));
}

std::optional<Period> TimePeriod(const std::string& name, long offset, char unit) {
  char periodUnit;  // the calendar unit the period spans
  if (name == "now") periodUnit = 's';
  else if (name == "today") periodUnit = 'd';
  else if (name == "yesterday") { periodUnit = 'd'; offset -= 1; }
  else if (name == "tomorrow") { periodUnit = 'd'; offset += 1; }
  else if (name == "this_week") periodUnit = 'w';
  else if (name == "this_month") periodUnit = 'M';
  else if (name == "this_year") periodUnit = 'y';
  else return std::nullopt;
  if (unit == 0) unit = periodUnit;
  if (unit != 's' && unit != 'd' && unit != 'w' && unit != 'M' && unit != 'y') return std::nullopt;

  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Calendar> calendar(icu::Calendar::createInstance(status));
  if (U_FAILURE(status)) return std::nullopt;
  calendar->setTime(UnixSeconds(Date{Now()}) * kMillis, status);
  if (periodUnit == 's') {
    calendar->add(FieldOf(unit), int32_t(offset), status);
    const double instant = DateFromUnixSeconds(calendar->getTime(status) / kMillis).seconds;
    if (U_FAILURE(status)) return std::nullopt;
    return Period{instant, instant};
  }
  // Back to the first instant of the period, then shift it.
  calendar->set(UCAL_HOUR_OF_DAY, 0);
  calendar->set(UCAL_MINUTE, 0);
  calendar->set(UCAL_SECOND, 0);
  calendar->set(UCAL_MILLISECOND, 0);
  if (periodUnit == 'w') {
    const int32_t back = (calendar->get(UCAL_DAY_OF_WEEK, status) - calendar->getFirstDayOfWeek(status) + 7) % 7;
    calendar->add(UCAL_DATE, -back, status);
  } else if (periodUnit == 'M') {
    calendar->set(UCAL_DATE, 1);
  } else if (periodUnit == 'y') {
    calendar->set(UCAL_DAY_OF_YEAR, 1);
  }
  calendar->add(FieldOf(unit), int32_t(offset), status);
  const double start = calendar->getTime(status) / kMillis;
  calendar->add(FieldOf(periodUnit), 1, status);
  const double end = calendar->getTime(status) / kMillis;
  if (U_FAILURE(status)) return std::nullopt;
  return Period{DateFromUnixSeconds(start).seconds, DateFromUnixSeconds(end).seconds};
}

}  // namespace metadata
