#include "results/result_list.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "panel/panel_info.h"
#include "results/display_attributes.h"
#include "results/shared_paths.h"

using namespace metadata;

namespace {

// The rows' order: row i shows result order[i-1] of `query`. Made again when a
// new search replaced the query, or when the sort column or direction changes.
struct RowOrder {
  std::weak_ptr<MDQuery> query;
  std::vector<long> results;
  bool valid = false;
};
RowOrder& Order() {
  static RowOrder order;
  return order;
}

std::optional<std::string> StringOf(MDItemRef result, const char* attribute) {
  std::optional<Value> value = result ? MDItemCopyAttribute(result, attribute) : std::nullopt;
  if (!value) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&*value)) return *text;
  if (const auto* texts = std::get_if<StringArray>(&*value); texts && !texts->empty()) return texts->front();
  return std::nullopt;
}

StringArray StringsOf(MDItemRef result, const char* attribute) {
  std::optional<Value> value = result ? MDItemCopyAttribute(result, attribute) : std::nullopt;
  if (!value) return {};
  if (const auto* text = std::get_if<std::string>(&*value)) return {*text};
  if (const auto* texts = std::get_if<StringArray>(&*value)) return *texts;
  return {};
}

std::optional<double> NumberOf(MDItemRef result, const char* attribute) {
  std::optional<Value> value = result ? MDItemCopyAttribute(result, attribute) : std::nullopt;
  if (!value) return std::nullopt;
  if (const auto* number = std::get_if<double>(&*value)) return *number;
  if (const auto* numbers = std::get_if<NumberArray>(&*value); numbers && !numbers->empty()) return numbers->front();
  return std::nullopt;
}

// The document's own date when its format gives one, else the file's.
std::optional<Date> DateOf(MDItemRef result) {
  for (const char* attribute : {attributes::kCreationDate, attributes::kModificationDate}) {
    std::optional<Value> value = result ? MDItemCopyAttribute(result, attribute) : std::nullopt;
    if (const auto* date = value ? std::get_if<Date>(&*value) : nullptr) return *date;
  }
  return std::nullopt;
}

QString Text(const std::optional<std::string>& text) { return text ? QString::fromStdString(*text) : QString(); }

QString CellText(MDItemRef result, DataBrowserPropertyID property) {
  switch (property) {
    case kPathProperty: return Text(StringOf(result, kPathAttribute));
    case kNameProperty: {
      std::optional<std::string> name = StringOf(result, kDisplayNameAttribute);
      if (!name)
        if (std::optional<std::string> path = StringOf(result, kPathAttribute)) name = DisplayNameOf(*path);
      return TextFromFileSystemPath(name.value_or(std::string()));
    }
    case kKindProperty: return KindOfResult(result);
    case kFormulaProperty: {
      std::optional<std::string> formula = StringOf(result, attributes::kDisplayFormula);
      return Text(formula ? formula : StringOf(result, attributes::kFormula));
    }
    case kNucleusProperty: return Text(StringOf(result, attributes::kNucleus));
    case kDateProperty: {
      const std::optional<Date> date = DateOf(result);
      return date ? FormatDate(*date) : QString();
    }
    default: return QString();
  }
}

bool IsListed(DataBrowserPropertyID property) {
  for (DataBrowserPropertyID listed :
       {kPathProperty, kNameProperty, kKindProperty, kFormulaProperty, kNucleusProperty, kDateProperty})
    if (property == listed) return true;
  return false;
}

// One result's value in the sort column: a date by its time, the rest by text.
struct SortKey {
  bool missing = true;
  double time = 0;
  QString text;
};

SortKey KeyOf(MDItemRef result, DataBrowserPropertyID property) {
  SortKey key;
  if (property == kDateProperty) {
    const std::optional<Date> date = DateOf(result);
    key.missing = !date;
    if (date) key.time = UnixSeconds(*date);
  } else {
    key.text = CellText(result, property).toCaseFolded();
    key.missing = key.text.isEmpty();
  }
  return key;
}

// Results without a value come last either way; equal values keep the index's
// (path) order, as the sort is stable. Texts compare without regard to case, the
// same in every locale.
bool Before(const SortKey& a, const SortKey& b, bool increasing) {
  if (a.missing || b.missing) return !a.missing && b.missing;
  const int compared = a.time < b.time ? -1 : a.time > b.time ? 1 : a.text.compare(b.text);
  return increasing ? compared < 0 : compared > 0;
}

// Sorting by a column other than the path asks every result for that one
// attribute. The list never holds more than the panel lists (kMaximumListedHits,
// a few hundred rows; a larger set is refused before it reaches the list), so
// this is a few hundred lookups of one attribute, not a load of every row.
void MakeOrder() {
  RowOrder& order = Order();
  order.query = sInfo ? sInfo->query : nullptr;
  order.results.clear();
  order.valid = true;
  if (!sInfo || !sInfo->query) return;
  const long count = MDQueryGetResultCount(sInfo->query);
  for (long i = 0; i < count; ++i) order.results.push_back(i);
  DataBrowserPropertyID property = kPathProperty;
  DataBrowserSortOrder direction = kDataBrowserOrderIncreasing;
  GetDataBrowserSortProperty(sInfo->resultBrowser, &property);
  GetDataBrowserSortOrder(sInfo->resultBrowser, &direction);
  const bool increasing = direction == kDataBrowserOrderIncreasing;
  if (property == kPathProperty) {
    // The index answers in path order already.
    if (!increasing) std::reverse(order.results.begin(), order.results.end());
    return;
  }
  std::vector<SortKey> keys;
  keys.reserve(size_t(count));
  for (long i = 0; i < count; ++i) keys.push_back(KeyOf(MDQueryGetResultAtIndex(sInfo->query, i), property));
  std::stable_sort(order.results.begin(), order.results.end(), [&keys, increasing](long a, long b) {
    return Before(keys[size_t(a)], keys[size_t(b)], increasing);
  });
}

}  // namespace

MDItemRef ResultOfRow(DataBrowserItemID item) {
  if (!sInfo || !sInfo->query || item < 1) return nullptr;
  RowOrder& order = Order();
  if (!order.valid || order.query.lock() != sInfo->query) MakeOrder();
  if (item > order.results.size()) return nullptr;
  return MDQueryGetResultAtIndex(sInfo->query, order.results[item - 1]);
}

QString KindOfResult(MDItemRef result) {
  if (std::optional<double> dimensions = NumberOf(result, attributes::kDimensions)) {
    QStringList nuclei;
    for (const std::string& nucleus : StringsOf(result, attributes::kNucleus)) nuclei << QString::fromStdString(nucleus);
    QString kind = QStringLiteral("%1D").arg(qlonglong(*dimensions));
    if (!nuclei.isEmpty()) kind += QStringLiteral(" ") + nuclei.join(QStringLiteral("\u2013"));
    return kind;
  }
  // A molecule file holds one formula per record.
  const size_t records = StringsOf(result, attributes::kFormula).size();
  if (records == 1) return QStringLiteral("molecule");
  if (records > 1) return QStringLiteral("SD file, %1 records").arg(records);
  return QString();
}

OSStatus MyItemDataCallback(ControlRef, DataBrowserItemID item, DataBrowserPropertyID property,
                            DataBrowserItemDataRef itemData, bool) {
  if (!IsListed(property)) return errDataBrowserPropertyNotSupported;
  // A result gone from the index since the search shows an empty row.
  return SetDataBrowserItemDataText(itemData, CellText(ResultOfRow(item), property));
}

namespace {

std::optional<std::string> PathOfRow(DataBrowserItemID item) {
  std::optional<std::string> path = StringOf(ResultOfRow(item), kPathAttribute);
  if (!path || path->empty()) return std::nullopt;
  return path;
}

// Opens the row's file in its default application, and waits for the opener.
// The path goes as the one argument, byte for byte as the file system spells it.
void OpenRow(DataBrowserItemID item) {
  if (std::optional<std::string> path = PathOfRow(item)) RunProgramAndWait("xdg-open", {LocalPathOf(*path)});
}

}  // namespace

void MyNotificationCallback(ControlRef browser, DataBrowserItemID item, DataBrowserItemNotification message) {
  switch (message) {
    case kDataBrowserItemSelected:
      if (MDItemRef result = ResultOfRow(item)) DisplayAttributes(result);
      break;
    case kDataBrowserItemDoubleClicked:
      OpenRow(item);
      break;
    case kDataBrowserSortOrderChanged:
      Order().valid = false;
      UpdateDataBrowserItems(browser);
      break;
    default:
      break;
  }
}

void MyContextMenuCallback(ControlRef, DataBrowserItemID item, UInt32 commandID) {
  const std::optional<std::string> path = PathOfRow(item);
  if (!path) return;
  switch (commandID) {
    case kOpenRowCommand: OpenRow(item); break;
    case kShowInFolderCommand: RevealFileInFileManager(LocalPathOf(*path)); break;
    case kCopyPathCommand: SetClipboardText(TextFromFileSystemPath(*path)); break;
    default: break;
  }
}

void InstallResultListMenu(ControlRef browser) {
  SetDataBrowserContextMenu(browser,
                            {{QStringLiteral("Open"), kOpenRowCommand},
                             {QStringLiteral("Show in Folder"), kShowInFolderCommand},
                             {QStringLiteral("Copy Path"), kCopyPathCommand}},
                            MyContextMenuCallback);
}
