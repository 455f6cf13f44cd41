#include "query/hill_order.h"

#include <map>

namespace {

bool IsUpper(QChar c) { return c >= u'A' && c <= u'Z'; }
bool IsLower(QChar c) { return c >= u'a' && c <= u'z'; }
bool IsDigit(QChar c) { return c >= u'0' && c <= u'9'; }

// Counts of each element symbol; false when the text holds anything else.
bool CountElements(const QString& text, std::map<QString, long long>& counts) {
  for (qsizetype at = 0; at < text.size();) {
    if (!IsUpper(text[at])) return false;
    QString symbol(text[at++]);
    while (at < text.size() && IsLower(text[at])) symbol += text[at++];
    long long count = 0;
    bool hasCount = false;
    while (at < text.size() && IsDigit(text[at]) && count < 1000000000) {
      count = count * 10 + text[at++].digitValue();
      hasCount = true;
    }
    if (at < text.size() && IsDigit(text[at])) return false;  // a count no formula has
    counts[symbol] += hasCount ? count : 1;
  }
  return !counts.empty();
}

QString Written(const QString& symbol, long long count) { return count == 1 ? symbol : symbol + QString::number(count); }

}  // namespace

QString HillOrder(const QString& typed) {
  QString text;
  for (QChar c : typed)
    if (!c.isSpace()) text += c;
  qsizetype chargeAt = text.size();
  while (chargeAt > 0 && (IsDigit(text[chargeAt - 1]) || text[chargeAt - 1] == u'+' || text[chargeAt - 1] == u'-')) --chargeAt;
  // A charge starts with its sign; digits before the sign are the last element's count.
  while (chargeAt < text.size() && IsDigit(text[chargeAt])) ++chargeAt;
  const QString charge = text.mid(chargeAt);
  std::map<QString, long long> counts;
  if (!CountElements(text.left(chargeAt), counts)) return typed;
  QString hill;
  const bool carbon = counts.count(QStringLiteral("C")) > 0;
  if (carbon) {
    hill += Written(QStringLiteral("C"), counts[QStringLiteral("C")]);
    counts.erase(QStringLiteral("C"));
    if (auto h = counts.find(QStringLiteral("H")); h != counts.end()) {
      hill += Written(h->first, h->second);
      counts.erase(h);
    }
  }
  for (const auto& [symbol, count] : counts) hill += Written(symbol, count);
  return hill + charge;
}
