#include "query/create_expression.h"

#include <ctime>
#include <vector>

#include "panel/numbers.h"
#include "query/hill_order.h"
#include "panel/panel_info.h"
#include "platform/metadata/attributes.h"
#include "platform/metadata/time_values.h"
#include "platform/metadata/value.h"

namespace {

namespace attributes = metadata::attributes;

QString Name(const char* attribute) { return QString::fromLatin1(attribute); }

const QString kClosingTerm = Name(attributes::kDisplayName) + QStringLiteral(" != \"*.back\"");

// A lone character up to '.' (46) counts as no entry: a blank, a control
// character, or one of ! " # $ % & ' ( ) * + , - .
bool CountsAsEmpty(const QString& text) { return text.isEmpty() || (text.size() == 1 && text.at(0).unicode() <= 46); }

void ReadFields(WindowRef window) {
  ControlRef control = nullptr;
  for (SInt32 i = 0; i < kFieldCount; ++i) {
    std::optional<QString>& field = sInfo->fieldText[i];
    field.reset();
    GetControlByID(window, {kTextSignature, i}, &control);
    if (GetControlData(control, kControlEntireControl, kControlEditTextCFStringTag, field) != noErr) field.reset();
    if (field && CountsAsEmpty(*field)) field.reset();
  }
  SInt16 flags = 0;
  for (SInt32 i = 0; i < kCheckCount; ++i) {
    GetControlByID(window, {kCheckSignature, i}, &control);
    if (GetControl32BitValue(control) != 0) flags = SInt16(flags | (1 << i));
  }
  sInfo->checkFlags = flags;
  for (SInt32 i = 0; i < kRecordedMenuCount; ++i) {
    GetControlByID(window, {kMenuSignature, i}, &control);
    sInfo->menuValue[i] = SInt16(GetControl32BitValue(control));
  }
  if (GetControlByID(window, {kMenuSignature, kSmilesMenu}, &control) == noErr)
    sInfo->smilesSearch = SInt16(GetControl32BitValue(control));
}

// The title and notes text, quoted by the two low check box bits.
QString QuotedWords(const QString& words) {
  const QString text = EscapeForQuotes(words);
  switch (sInfo->checkFlags & 3) {
    case 1: return QStringLiteral("\"%1\"wc").arg(text);  // whole words
    case 2: return QStringLiteral("\"*%1*\"").arg(text);  // case sensitive
    case 3: return QStringLiteral("\"%1\"").arg(text);    // both: the whole value, exactly
    default: return QStringLiteral("\"*%1*\"c").arg(text);
  }
}

QString WordsTerm(const QString& words) {
  const QString quoted = QuotedWords(words);
  switch (sInfo->menuValue[0]) {
    case 1: return Name(attributes::kTitle) + QStringLiteral(" == ") + quoted;
    case 2: return Name(attributes::kNotes) + QStringLiteral(" == ") + quoted;
    default:  // 3, and any value the popup should not hold: both
      return QStringLiteral("(%1 == %3 || %2 == %3)").arg(Name(attributes::kTitle), Name(attributes::kNotes), quoted);
  }
}

// The SMILES field's text as the popup beside it says: a text fragment of the
// canonical SMILES, a substructure, or a similar molecule.
QString SmilesTerm(const QString& smiles) {
  const QString text = EscapeForQuotes(smiles), name = Name(attributes::kSmiles);
  switch (sInfo->smilesSearch) {
    case kSmilesSubstructure: return QStringLiteral("Substructure(%1, \"%2\")").arg(name, text);
    case kSmilesSimilar: return QStringLiteral("Similar(%1, \"%2\", 0.7)").arg(name, text);
    default: return QStringLiteral("%1 == \"*%2*\"").arg(name, text);
  }
}

QString PeakTerm(const QString& peak) {
  const double position = LeadingDouble(peak);
  ControlRef tolerancePopup = nullptr;
  GetControlByID(sInfo->window, {kMenuSignature, 1}, &tolerancePopup);
  std::optional<QString> toleranceText;
  CopyMenuItemTextAsCFString(GetControlPopupMenuHandle(tolerancePopup), MenuItemIndex(sInfo->menuValue[1]), toleranceText);
  const double tolerance = toleranceText ? LeadingDouble(*toleranceText) : 0;
  return QStringLiteral("InRange(%1,%2,%3)")
      .arg(Name(attributes::kPeaks), FixedSix(position - tolerance), FixedSix(position + tolerance));
}

// The current year of the Gregorian calendar in Greenwich time.
int CurrentYear() {
  const std::time_t now = std::time_t(metadata::UnixSeconds(metadata::Date{metadata::Now()}));
  std::tm civil{};
  gmtime_r(&now, &civil);
  return civil.tm_year + 1900;
}

QString YearTerm(char comparison, const QString& year) {
  const std::int64_t offset = std::int64_t(LeadingInt(year)) - CurrentYear();
  return QStringLiteral("%1 %2 $time.this_year(%3)")
      .arg(Name(attributes::kCreationDate))
      .arg(QChar::fromLatin1(comparison))
      .arg(qlonglong(std::clamp<std::int64_t>(offset, INT32_MIN, INT32_MAX)));
}

}  // namespace

QString EscapeForQuotes(const QString& text) {
  QString escaped;
  escaped.reserve(text.size());
  for (QChar c : text) {
    if (c == u'"' || c == u'\\' || c == u'?') escaped += u'\\';
    escaped += c;
  }
  return escaped;
}

std::optional<QString> CreateExpression() {
  ReadFields(sInfo->window);
  const auto& field = sInfo->fieldText;
  std::vector<QString> terms;
  int dateTerms = 0;

  if (field[0]) terms.push_back(WordsTerm(*field[0]));
  if (field[1]) {
    const bool exact = sInfo->checkFlags & 4;
    const QString formula = EscapeForQuotes(exact ? HillOrder(*field[1]) : *field[1]);
    const QString pattern = exact ? QStringLiteral("%1 == \"%2\"") : QStringLiteral("%1 == \"*%2*\"");
    terms.push_back(pattern.arg(Name(attributes::kFormula), formula));
  }
  if (field[2]) terms.push_back(SmilesTerm(*field[2]));
  if (field[3]) terms.push_back(Name(attributes::kMass) + QStringLiteral(" > ") + *field[3]);
  if (field[4]) terms.push_back(Name(attributes::kMass) + QStringLiteral(" < ") + *field[4]);
  if (field[kPeakField]) terms.push_back(PeakTerm(*field[kPeakField]));
  if (field[kNucleusField])
    terms.push_back(QStringLiteral("%1 == \"*%2*\"").arg(Name(attributes::kNucleus), EscapeForQuotes(*field[kNucleusField])));
  if (sInfo->menuValue[3] <= 3) terms.push_back(QStringLiteral("%1 == %2").arg(Name(attributes::kDimensions)).arg(sInfo->menuValue[3]));
  if (field[kAfterYearField]) {
    terms.push_back(YearTerm('>', *field[kAfterYearField]));
    ++dateTerms;
  }
  if (field[kBeforeYearField]) {
    terms.push_back(YearTerm('<', *field[kBeforeYearField]));
    ++dateTerms;
  }

  if (int(terms.size()) <= dateTerms) return std::nullopt;  // the years alone make no search
  terms.push_back(kClosingTerm);
  QString expression = terms.front();
  for (size_t i = 1; i < terms.size(); ++i) expression += QStringLiteral(" && ") + terms[i];
  return expression;
}
