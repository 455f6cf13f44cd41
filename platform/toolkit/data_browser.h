// The data browser: a list whose rows are numbered 1..count by the toolkit and
// whose cells are asked of the program, through a callback, only when drawn.
#pragma once

#include <optional>
#include <vector>

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
// Sent with item 0 whenever the sort column or direction changes, by a click on
// a column header or by the program; the program then reorders its rows.
constexpr DataBrowserItemNotification kDataBrowserSortOrderChanged = 20;

using DataBrowserSortOrder = UInt16;
constexpr DataBrowserSortOrder kDataBrowserOrderIncreasing = 1;
constexpr DataBrowserSortOrder kDataBrowserOrderDecreasing = 2;

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

// Rows change their contents without their number changing (a new order): the
// browser asks for the visible cells again.
OSStatus UpdateDataBrowserItems(ControlRef browser);

// The sort column and direction the header shows. Clicking a header sorts by
// its column; clicking the sorted column's header again reverses the direction.
OSStatus SetDataBrowserSortProperty(ControlRef browser, DataBrowserPropertyID property);
OSStatus GetDataBrowserSortProperty(ControlRef browser, DataBrowserPropertyID* property);
OSStatus SetDataBrowserSortOrder(ControlRef browser, DataBrowserSortOrder order);
OSStatus GetDataBrowserSortOrder(ControlRef browser, DataBrowserSortOrder* order);

// Every column of the browser, in its order, shown or not.
std::vector<DataBrowserPropertyID> GetDataBrowserProperties(ControlRef browser);
// Columns after the first can be hidden; the header's context menu lets the
// user choose them too.
OSStatus SetDataBrowserPropertyVisible(ControlRef browser, DataBrowserPropertyID property, bool visible);
bool IsDataBrowserPropertyVisible(ControlRef browser, DataBrowserPropertyID property);

// A row's context menu: its items, and what choosing one calls with the row.
struct DataBrowserMenuItem {
  QString title;
  UInt32 commandID = 0;
};
using DataBrowserMenuCommandUPP = void (*)(ControlRef browser, DataBrowserItemID item, UInt32 commandID);
OSStatus SetDataBrowserContextMenu(ControlRef browser, const std::vector<DataBrowserMenuItem>& items,
                                   DataBrowserMenuCommandUPP command);
// What choosing the item titled `title` in row `item`'s context menu does: the
// row becomes the selected one, then the item's command runs. For tests and
// accessibility, as CopyDataBrowserCellText is.
OSStatus ChooseDataBrowserContextMenuItem(ControlRef browser, DataBrowserItemID item, const QString& title);
