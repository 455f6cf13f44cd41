// What the result list asks of the program: each row's path, and reactions to
// selecting and double-clicking a row.
#pragma once

#include "platform/toolkit/toolkit.h"

constexpr DataBrowserPropertyID kPathProperty = FourCC("PATH");

OSStatus MyItemDataCallback(ControlRef browser, DataBrowserItemID item, DataBrowserPropertyID property,
                            DataBrowserItemDataRef itemData, bool changeValue);
void MyNotificationCallback(ControlRef browser, DataBrowserItemID item, DataBrowserItemNotification message);
