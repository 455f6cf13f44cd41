#include "query/collect.h"

#include "panel/panel_info.h"
#include "query/create_expression.h"
#include "query/shared_index.h"
#include "results/display_attributes.h"
#include "results/result_list.h"
#include "results/shared_paths.h"
#include "results/summary_pictures.h"

using namespace metadata;

namespace {

const QString kGenericQuery = QStringLiteral("generic query");
const QString kInvalidQuery = QStringLiteral("invalid query");
const QString kSearchFailed = QStringLiteral("search failed");
const QString kTooManyResults = QStringLiteral("TOO MANY RESULTS:\ryou can search inside this set");
const QString kZeroResults = QStringLiteral("ZERO RESULTS");

void SetText(ControlRef control, const QString& text) {
  SetControlData(control, kControlEntireControl, kControlStaticTextCFStringTag, text);
}

// The scope the scope popup names; none for the folder scope without a folder
// or a value the popup should not hold.
std::optional<SearchScope> ChosenScope() {
  switch (sInfo->menuValue[kScopeMenu]) {
    case 1: return kMDQueryScopeComputer;
    case 2: return kMDQueryScopeHome;
    case 3: return kMDQueryScopeNetwork;
    case 4:
      if (!sInfo->fieldText[kFolderField]) return std::nullopt;
      // The path as the file system spells it.
      return FolderScope(FileSystemPathFromText(*sInfo->fieldText[kFolderField]));
    default: return std::nullopt;
  }
}

// A failure the user must hear of: a word in the status text, the service's
// message in the summary; the list and the last search's query stay.
void ShowFailure(const QString& status, const QueryError& error) {
  SetText(sInfo->statusText, status);
  HidePictures();
  SetText(sInfo->summaryText, QString::fromStdString(error.message));
  SetThemeCursor(kThemeArrowCursor);
}

}  // namespace

void Collect(bool subset) {
  const std::optional<QString> expression = CreateExpression();
  if (!expression) {
    SetText(sInfo->statusText, kGenericQuery);
    return;
  }
  SetThemeCursor(kThemeWatchCursor);
  EnableControl(sInfo->lastQueryButton);

  QueryError error;
  const std::string text = expression->toStdString();
  // The Network scope of a lab is its shared index, searched whole.
  const std::optional<std::string> shared = sInfo->menuValue[kScopeMenu] == 3 ? SharedIndex().location : std::nullopt;
  const bool within = subset && sInfo->query;
  MDQueryRef query;
  if (within) {
    query = MDQueryCreateSubset(sInfo->query, text, &error);
  } else if (shared) {
    std::shared_ptr<Index> index = Index::Open(*shared, error.message);
    if (!index) return ShowFailure(kSearchFailed, error);
    query = MDQueryCreate(index, text, &error);
  } else {
    query = MDQueryCreate(text, &error);
  }
  if (!query) return ShowFailure(kInvalidQuery, error);

  if (std::optional<SearchScope> scope = ChosenScope(); scope && !shared) MDQuerySetSearchScope(query, {*scope}, 0);
  if (!MDQueryExecute(query, kMDQuerySynchronous, &error)) return ShowFailure(kSearchFailed, error);

  const long count = MDQueryGetResultCount(query);
  SetText(sInfo->statusText, QStringLiteral("%1 Hits").arg(count));
  RemoveDataBrowserItems(sInfo->resultBrowser);
  // Stored before the rows exist, so that a row drawn at once shows this search.
  sInfo->query = query;
  if (!within) SetListedFromSharedIndex(shared ? std::optional(SharedIndex().mounts) : std::nullopt);
  std::optional<QString> message;
  if (count > kMaximumListedHits) {
    message = kTooManyResults;
  } else {
    AddDataBrowserItems(sInfo->resultBrowser, UInt32(count));
    RevealDataBrowserItem(sInfo->resultBrowser, 1);
    MDItemRef first = ResultOfRow(1);  // the first in the list's sort order
    if (first)
      DisplayAttributes(first);
    else
      message = kZeroResults;
  }
  if (message) {
    HidePictures();
    SetText(sInfo->summaryText, *message);
  }
  SetThemeCursor(kThemeArrowCursor);
}
