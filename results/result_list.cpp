#include "results/result_list.h"

OSStatus MyItemDataCallback(ControlRef, DataBrowserItemID, DataBrowserPropertyID, DataBrowserItemDataRef, bool) {
  return errDataBrowserPropertyNotSupported;
}

void MyNotificationCallback(ControlRef, DataBrowserItemID, DataBrowserItemNotification) {}
