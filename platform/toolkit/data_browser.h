// The data browser: a list whose rows are numbered 1..count by the toolkit and
// whose cells are asked of the program, through a callback, only when drawn.
#pragma once

#include <optional>
#include <QString>

#include "platform/toolkit/types.h"

using DataBrowserItemID = UInt32;
using DataBrowserPropertyID = UInt32;
using DataBrowserItemNotification = UInt32;

constexpr DataBrowserItemNotification kDataBrowserItemAdded = 1;
constexpr DataBrowserItemNotification kDataBrowserItemRemoved = 2;
constexpr DataBrowserItemNotification kDataBrowserItemSelected = 5;
constexpr DataBrowserItemNotification kDataBrowserItemDeselected = 6;
constexpr DataBrowserItemNotification kDataBrowserItemDoubleClicked = 7;

// Properties the toolkit itself asks about; a program that does not answer one
// returns errDataBrowserPropertyNotSupported.
constexpr DataBrowserPropertyID kDataBrowserItemIsContainerProperty = FourCC("ctnr");

constexpr UInt32 kDataBrowserLatestCallbacks = 0;

// Where a cell's text goes while the item-data callback answers.
struct DataBrowserItemData {
  QString text;
  bool textSet = false;
};
using DataBrowserItemDataRef = DataBrowserItemData*;

using DataBrowserItemDataUPP = OSStatus (*)(ControlRef browser, DataBrowserItemID item,
                                            DataBrowserPropertyID property,
                                            DataBrowserItemDataRef itemData, bool setValue);
using DataBrowserItemNotificationUPP = void (*)(ControlRef browser, DataBrowserItemID item,
                                                DataBrowserItemNotification message);

struct DataBrowserCallbacks {
  UInt32 version = kDataBrowserLatestCallbacks;
  DataBrowserItemDataUPP itemDataCallback = nullptr;
  DataBrowserItemNotificationUPP itemNotificationCallback = nullptr;
};

OSStatus InitDataBrowserCallbacks(DataBrowserCallbacks* callbacks);
OSStatus SetDataBrowserCallbacks(ControlRef browser, const DataBrowserCallbacks* callbacks);

OSStatus RemoveDataBrowserItems(ControlRef browser);                // every row
OSStatus AddDataBrowserItems(ControlRef browser, UInt32 itemCount);  // rows 1..count
OSStatus RevealDataBrowserItem(ControlRef browser, DataBrowserItemID item);
OSStatus SetDataBrowserItemDataText(DataBrowserItemDataRef itemData, const QString& text);

UInt32 GetDataBrowserItemCount(ControlRef browser);
// The text the browser shows in row `item` for `property`, asked of the callback
// as drawing would; what tests and accessibility read.
std::optional<QString> CopyDataBrowserCellText(ControlRef browser, DataBrowserItemID item,
                                               DataBrowserPropertyID property);
