#include "results/display_attributes.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include "panel/numbers.h"
#include "panel/panel_info.h"
#include "platform/metadata/attributes.h"
#include "results/summary_pictures.h"

using namespace metadata;

namespace {

// Values as the summary wants them, whatever shape the index gave them.
QStringList Strings(const Value& value) {
  QStringList strings;
  if (const auto* text = std::get_if<std::string>(&value)) strings << QString::fromStdString(*text);
  if (const auto* texts = std::get_if<StringArray>(&value))
    for (const auto& text : *texts) strings << QString::fromStdString(text);
  return strings;
}

NumberArray Numbers(const Value& value) {
  if (const auto* number = std::get_if<double>(&value)) return {*number};
  if (const auto* numbers = std::get_if<NumberArray>(&value)) return *numbers;
  return {};
}

// A number in its own textual form: a whole number as its digits.
QString NumberText(double value) {
  if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15) return QString::number(qlonglong(value));
  return QString::fromStdString(FormatNumber(value));
}

icu::Locale UserLocale() {
  for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"}) {
    const char* value = std::getenv(variable);
    if (!value || !*value) continue;
    std::string name = value;
    name = name.substr(0, name.find_first_of(".@"));
    if (name == "C" || name == "POSIX") return icu::Locale("en_US_POSIX");
    return icu::Locale(name.c_str());
  }
  return icu::Locale("en_US_POSIX");
}

// The values as the summary shows them, by the type the catalog gives the
// attribute (whatever shape the index holds); none for a date that is no date.
std::optional<QString> SummaryValue(AttributeType type, const Value& value) {
  switch (type) {
    case AttributeType::String:
    case AttributeType::Strings: return Concatenate(Strings(value));
    case AttributeType::Numbers: return Concatenate(TransformInStrings(Numbers(value)));
    case AttributeType::Number: {
      const NumberArray numbers = Numbers(value);
      return numbers.empty() ? QString() : NumberText(numbers.front());
    }
    case AttributeType::Date:
      if (const auto* date = std::get_if<Date>(&value)) return FormatDate(*date);
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

QStringList TransformInStrings(const NumberArray& numbers) {
  QStringList texts;
  for (size_t i = 0; i < numbers.size() && i < 9; ++i) texts << SixSignificant(numbers[i]);
  return texts;
}

QString Concatenate(const QStringList& strings) { return strings.join(QStringLiteral(", ")); }

QString FormatDate(Date date) {
  // Made anew each time, so that a change of the user's locale shows at once.
  std::unique_ptr<icu::DateFormat> formatter(
      icu::DateFormat::createDateTimeInstance(icu::DateFormat::kLong, icu::DateFormat::kShort, UserLocale()));
  if (!formatter) return QString::fromStdString(FormatIsoDate(date));
  icu::UnicodeString text;
  formatter->format(UnixSeconds(date) * 1000.0, text);
  return QString::fromUtf16(reinterpret_cast<const char16_t*>(text.getBuffer()), text.length());
}

void DisplayAttributes(MDItemRef item) {
  DisplayPictures(item);
  std::vector<QString> lines;
  for (const AttributeInfo& info : AllAttributes()) {
    if (info.summary.empty()) continue;
    const std::optional<Value> value = MDItemCopyAttribute(item, info.name);
    if (!value) continue;
    if (std::optional<QString> text = SummaryValue(info.type, *value))
      lines.push_back(QString::fromUtf8(info.summary.data(), qsizetype(info.summary.size())).arg(*text));
  }
  if (lines.empty()) {
    // Its attributes could not be read (the index's server went away): say so.
    if (const std::string why = MDItemGetReadError(item); !why.empty())
      SetControlData(sInfo->summaryText, kControlEntireControl, kControlStaticTextCFStringTag, QString::fromStdString(why));
    return;
  }
  QString summary = lines.front();
  for (size_t i = 1; i < lines.size(); ++i) summary += QStringLiteral("\r\r") + lines[i];
  SetControlData(sInfo->summaryText, kControlEntireControl, kControlStaticTextCFStringTag, summary);
}
