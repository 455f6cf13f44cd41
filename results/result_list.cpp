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

void MyNotificationCallback(ControlRef, DataBrowserItemID item, DataBrowserItemNotification message) {
  if (message == kDataBrowserItemSelected) {
    if (MDItemRef result = ItemOfRow(item)) DisplayAttributes(result);
  }
}
