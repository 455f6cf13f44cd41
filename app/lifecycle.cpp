#include "app/lifecycle.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/preferences.h"
#include "commands/index_status.h"
#include "commands/menu_commands.h"
#include "commands/window_handler.h"
#include "query/shared_index.h"
#include "panel/panel_info.h"
#include "results/result_list.h"

namespace {

constexpr EventTypeSpec kCloseEvent{kEventClassWindow, kEventWindowClose};
constexpr EventTypeSpec kCommonEvent{kEventClassCommand, kEventCommandProcess};

// A stored number as the 16-bit value it was written as; anything out of range
// is pinned to the range rather than wrapped.
SInt16 AsSInt16(const nlohmann::json& number) {
  if (number.is_number_integer()) {
    const auto value = number.get<std::int64_t>();
    return SInt16(std::clamp<std::int64_t>(value, INT16_MIN, INT16_MAX));
  }
  const double value = number.get<double>();
  if (std::isnan(value)) return 0;
  return SInt16(std::clamp(std::trunc(value), double(INT16_MIN), double(INT16_MAX)));
}

void RestoreOptions() {
  SInt16* run[5] = {&sInfo->menuValue[0], &sInfo->menuValue[1], &sInfo->menuValue[2],
                    &sInfo->menuValue[3], &sInfo->checkFlags};
  std::optional<nlohmann::json> options = PreferencesCopyAppValue(kOptionsKey);
  if (!options || !options->is_array()) return;
  for (size_t i = 0; i < 5 && i < options->size(); ++i)
    if ((*options)[i].is_number()) *run[i] = AsSInt16((*options)[i]);
}

// Kept apart from the run of five, which older preferences hold without it.
void RestoreSmilesSearch() {
  std::optional<nlohmann::json> value = PreferencesCopyAppValue(kSmilesSearchKey);
  if (!value || !value->is_number()) return;
  const SInt16 search = AsSInt16(*value);
  if (search >= kSmilesContainsText && search <= kSmilesSimilar) sInfo->smilesSearch = search;
}

std::optional<QString> RestoreText(const char* key) {
  std::optional<nlohmann::json> value = PreferencesCopyAppValue(key);
  if (!value || !value->is_string()) return std::nullopt;
  return QString::fromStdString(value->get<std::string>());
}

// A lab's shared index: $ORVANE_SHARED_INDEX, else the preference.
void RestoreSharedIndex() {
  SharedIndexSettings settings;
  if (const char* location = std::getenv("ORVANE_SHARED_INDEX"); location && *location)
    settings.location = location;
  else if (std::optional<QString> stored = RestoreText(kSharedIndexKey); stored && !stored->isEmpty())
    settings.location = stored->toStdString();
  if (std::optional<nlohmann::json> mounts = PreferencesCopyAppValue(kSharedIndexMountsKey); mounts && mounts->is_object())
    for (const auto& [server, local] : mounts->items())
      if (!server.empty() && local.is_string() && !local.get<std::string>().empty())
        settings.mounts.emplace_back(server, local.get<std::string>());
  SetSharedIndex(std::move(settings));
}

void RegisterResultListCallbacks(ControlRef browser) {
  DataBrowserCallbacks callbacks;
  callbacks.version = kDataBrowserLatestCallbacks;
  InitDataBrowserCallbacks(&callbacks);
  callbacks.itemDataCallback = MyItemDataCallback;
  callbacks.itemNotificationCallback = MyNotificationCallback;
  sInfo->resultBrowser = browser;
  SetDataBrowserCallbacks(browser, &callbacks);
  InstallResultListMenu(browser);
}

// Columns the preferences do not name are hidden; unknown codes are ignored.
void RestoreResultList(ControlRef browser) {
  if (std::optional<nlohmann::json> columns = PreferencesCopyAppValue(kColumnsKey); columns && columns->is_array()) {
    std::vector<DataBrowserPropertyID> shown;
    for (const nlohmann::json& code : *columns)
      if (code.is_string()) shown.push_back(FourCCFromString(code.get<std::string>()));
    const std::vector<DataBrowserPropertyID> all = GetDataBrowserProperties(browser);
    for (size_t i = 1; i < all.size(); ++i)
      SetDataBrowserPropertyVisible(browser, all[i], std::find(shown.begin(), shown.end(), all[i]) != shown.end());
  }
  std::optional<nlohmann::json> sort = PreferencesCopyAppValue(kSortKey);
  if (!sort || !sort->is_array() || sort->size() != 2 || !(*sort)[0].is_string() || !(*sort)[1].is_number()) return;
  SetDataBrowserSortProperty(browser, FourCCFromString((*sort)[0].get<std::string>()));
  SetDataBrowserSortOrder(browser, DataBrowserSortOrder(AsSInt16((*sort)[1])));
}

void StoreResultList(ControlRef browser) {
  nlohmann::json columns = nlohmann::json::array();
  for (DataBrowserPropertyID property : GetDataBrowserProperties(browser))
    if (IsDataBrowserPropertyVisible(browser, property)) columns.push_back(FourCCString(property));
  PreferencesSetAppValue(kColumnsKey, columns);
  DataBrowserPropertyID property = 0;
  DataBrowserSortOrder order = kDataBrowserOrderIncreasing;
  if (GetDataBrowserSortProperty(browser, &property) != noErr || GetDataBrowserSortOrder(browser, &order) != noErr) return;
  PreferencesSetAppValue(kSortKey, nlohmann::json::array({FourCCString(property), order}));
}

void ReportMissingDescription(const char* name, OSStatus status) {
  std::fprintf(stderr, "orvane: cannot load the interface description \"%s\" (status %d); looked in:",
               name, int(status));
  for (const auto& folder : ResourceFolders()) std::fprintf(stderr, " %s", folder.c_str());
  std::fprintf(stderr, "\n");
}

}  // namespace

int OrvaneMain() {
  static IBNibRef mainNib;  // lasts until the process ends
  OSStatus status = CreateNibReference("main", mainNib);
  if (status != noErr) {
    ReportMissingDescription("main", status);
    return status;
  }
  status = SetMenuBarFromNib(*mainNib, "MenuBar");
  if (status != noErr) {
    ReportMissingDescription("main", status);
    return status;
  }
  SetApplicationCommandHandler(ApplicationCommand);
  StartOrvane(std::nullopt);
  RunApplicationEventLoop();
  OrvaneStorePreferences();
  return 0;
}

void StartOrvane(const std::optional<QString>& peak) {
  if (sInfo) return;
  IBNibRef nib;
  if (CreateNibReference("orvane", nib) != noErr) return;
  WindowRef window = nullptr;
  if (CreateWindowFromNib(*nib, "Panel", &window) != noErr) {
    DisposeNibReference(nib);
    return;
  }
  sInfo = new PanelInfo{};
  sInfo->window = window;

  InstallEventHandler(GetWindowEventTarget(window), ClosureHandler, kCloseEvent, window);
  InstallEventHandler(GetWindowEventTarget(window), WindowHandler, kCommonEvent, window);

  ControlRef control = nullptr;
  GetControlByID(window, {kBrowserSignature, 0}, &control);
  RegisterResultListCallbacks(control);
  RestoreResultList(control);
  GetControlByID(window, {kLastQuerySignature, 0}, &sInfo->lastQueryButton);
  GetControlByID(window, {kDisplaySignature, 0}, &sInfo->summaryText);
  GetControlByID(window, {kDisplaySignature, 1}, &sInfo->statusText);
  if (InstallSummaryPictures(sInfo->summaryText) == noErr) {
    GetControlByID(window, {kPictureSignature, 0}, &sInfo->spectrumView);
    GetControlByID(window, {kPictureSignature, 1}, &sInfo->structureView);
  }

  sInfo->fieldText[kPeakField] = peak;
  RestoreOptions();
  RestoreSharedIndex();
  RestoreSmilesSearch();
  sInfo->fieldText[kFolderField] = RestoreText(kFolderKey);
  sInfo->fieldText[kNucleusField] = RestoreText(kNucleusKey);

  SetOptions();
  StartIndexStatus(window);
  ShowWindow(window);
  DisposeNibReference(nib);
}

OSStatus ClosureHandler(EventHandlerCallRef, EventRef, WindowRef) {
  QuitApplicationEventLoop();
  return eventNotHandledErr;  // the default handling closes the window
}

void OrvaneStorePreferences() {
  if (!sInfo) return;
  nlohmann::json options = nlohmann::json::array();
  for (SInt16 value : {sInfo->menuValue[0], sInfo->menuValue[1], sInfo->menuValue[2], sInfo->menuValue[3],
                       sInfo->checkFlags})
    options.push_back(value);
  PreferencesSetAppValue(kOptionsKey, options);
  if (sInfo->smilesSearch != 0) PreferencesSetAppValue(kSmilesSearchKey, sInfo->smilesSearch);
  StoreResultList(sInfo->resultBrowser);
  if (sInfo->fieldText[kFolderField]) PreferencesSetAppValue(kFolderKey, sInfo->fieldText[kFolderField]->toStdString());
  if (sInfo->fieldText[kNucleusField])
    PreferencesSetAppValue(kNucleusKey, sInfo->fieldText[kNucleusField]->toStdString());
  if (!PreferencesAppSynchronize())
    std::fprintf(stderr, "orvane: could not write the preferences to %s\n", PreferencesFile().c_str());
  delete sInfo;  // releases the texts and the stored query with it
  sInfo = nullptr;
}
