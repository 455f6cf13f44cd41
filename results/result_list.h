// What the result list asks of the program: each row's cells, the order of the
// rows, reactions to selecting and double-clicking a row, and the commands of a
// row's context menu.
#pragma once

#include "platform/metadata/query.h"
#include "platform/toolkit/toolkit.h"

// The list's columns, as resources/orvane.ui names them.
constexpr DataBrowserPropertyID kPathProperty = FourCC("PATH");
constexpr DataBrowserPropertyID kNameProperty = FourCC("NAME");
constexpr DataBrowserPropertyID kKindProperty = FourCC("KIND");
constexpr DataBrowserPropertyID kFormulaProperty = FourCC("FORM");
constexpr DataBrowserPropertyID kNucleusProperty = FourCC("NUCL");
constexpr DataBrowserPropertyID kDateProperty = FourCC("DATE");

// The commands of a row's context menu.
constexpr UInt32 kOpenRowCommand = FourCC("OpnR");
constexpr UInt32 kShowInFolderCommand = FourCC("ShoF");
constexpr UInt32 kCopyPathCommand = FourCC("CpyP");

OSStatus MyItemDataCallback(ControlRef browser, DataBrowserItemID item, DataBrowserPropertyID property,
                            DataBrowserItemDataRef itemData, bool changeValue);
void MyNotificationCallback(ControlRef browser, DataBrowserItemID item, DataBrowserItemNotification message);
void MyContextMenuCallback(ControlRef browser, DataBrowserItemID item, UInt32 commandID);
// Gives the browser its row context menu: Open, Show in Folder, Copy Path.
void InstallResultListMenu(ControlRef browser);

// The result shown in `item` (1-based) of the list, in the list's sort order;
// null when there is none.
metadata::MDItemRef ResultOfRow(DataBrowserItemID item);

// The kind of a document as the list shows it: "1D 1H", "2D 1H–13C",
// "molecule", "SD file, 48 records".
QString KindOfResult(metadata::MDItemRef result);
