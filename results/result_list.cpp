#include "results/result_list.h"

#include "panel/panel_info.h"
#include "results/display_attributes.h"

using namespace metadata;

namespace {

MDItemRef ItemOfRow(DataBrowserItemID item) {
  return sInfo && sInfo->query ? MDQueryGetResultAtIndex(sInfo->query, long(item) - 1) : nullptr;
}

}  // namespace

OSStatus MyItemDataCallback(ControlRef, DataBrowserItemID item, DataBrowserPropertyID property,
                            DataBrowserItemDataRef itemData, bool) {
  if (property != kPathProperty) return errDataBrowserPropertyNotSupported;
  std::optional<Value> path = MDItemCopyAttribute(ItemOfRow(item), kPathAttribute);
  const std::string* text = path ? std::get_if<std::string>(&*path) : nullptr;
  // A result gone from the index since the search shows an empty row.
  return SetDataBrowserItemDataText(itemData, text ? QString::fromStdString(*text) : QString());
}

// Opens the row's file in its default application, and waits for the opener.
// The path goes as the one argument, byte for byte as the file system spells it.
void OpenRow(DataBrowserItemID item) {
  std::optional<Value> path = MDItemCopyAttribute(ItemOfRow(item), kPathAttribute);
  const std::string* bytes = path ? std::get_if<std::string>(&*path) : nullptr;
  if (!bytes || bytes->empty()) return;
  RunProgramAndWait("xdg-open", {*bytes});
}

void MyNotificationCallback(ControlRef, DataBrowserItemID item, DataBrowserItemNotification message) {
  switch (message) {
    case kDataBrowserItemSelected:
      if (MDItemRef result = ItemOfRow(item)) DisplayAttributes(result);
      break;
    case kDataBrowserItemDoubleClicked:
      OpenRow(item);
      break;
    default:
      break;
  }
}
