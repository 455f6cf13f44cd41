// Controls of a window, found by signature and number: text fields, static
// texts, check boxes, popups and push buttons; their texts, values and state.
#pragma once

#include <optional>
#include <QString>

#include "platform/toolkit/types.h"

struct ControlID {
  OSType signature;
  SInt32 id;
};

constexpr ControlPartCode kControlEntireControl = 0;
// The data tag of a control's text, read and written as a string.
constexpr OSType kControlEditTextCFStringTag = FourCC("cfst");
constexpr OSType kControlStaticTextCFStringTag = FourCC("cfst");

// The one control of `window` bearing `id` (dynamic properties "signature" and
// "number" in the description); errUnknownControl and a null control when none does.
OSStatus GetControlByID(WindowRef window, const ControlID& id, ControlRef* outControl);

// The text of a text field or static text (tag 'cfst'). A static text reads back
// exactly what was written, carriage returns included.
OSStatus GetControlData(ControlRef control, ControlPartCode part, OSType tag,
                        std::optional<QString>& outText);
// Sets the text. A static text shows each carriage return as a line break and
// keeps the text as its accessible name, so a screen reader reads it.
OSStatus SetControlData(ControlRef control, ControlPartCode part, OSType tag, const QString& text);

// Check box: 0 or 1. Popup: the 1-based number of the chosen item, 0 for none;
// a value outside 1..count is pinned to the nearest item, as controls pin values.
SInt32 GetControl32BitValue(ControlRef control);
void SetControl32BitValue(ControlRef control, SInt32 value);

OSStatus EnableControl(ControlRef control);
OSStatus DisableControl(ControlRef control);
bool IsControlEnabled(ControlRef control);

// A popup's item list, and the text of item `item` (from 1); no text for an item
// that does not exist.
MenuRef GetControlPopupMenuHandle(ControlRef control);
OSStatus CopyMenuItemTextAsCFString(MenuRef menu, MenuItemIndex item, std::optional<QString>& outText);

void ShowWindow(WindowRef window);
