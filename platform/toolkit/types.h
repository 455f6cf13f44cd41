// Basic types of the window and control layer: statuses, four-character codes
// and the references the panel holds. Windows and controls are Qt widgets that
// belong to the toolkit; the panel never deletes them.
#pragma once

#include <cstdint>
#include <string>

class QWidget;
class QComboBox;

using OSStatus = std::int32_t;
using SInt16 = std::int16_t;
using SInt32 = std::int32_t;
using UInt16 = std::uint16_t;
using UInt32 = std::uint32_t;
using FourCharCode = std::uint32_t;
using OSType = FourCharCode;

using WindowRef = QWidget*;
using ControlRef = QWidget*;
using MenuRef = QComboBox*;  // a popup's item list
using MenuItemIndex = UInt16;
using ControlPartCode = SInt16;

constexpr OSStatus noErr = 0;
constexpr OSStatus paramErr = -50;
constexpr OSStatus eventNotHandledErr = -9874;
constexpr OSStatus errDataBrowserPropertyNotSupported = -4979;
constexpr OSStatus errUnknownControl = -30584;
constexpr OSStatus errControlDoesntSupportFocus = -30583;
constexpr OSStatus kIBCarbonRuntimeCantFindNibFile = -10960;
constexpr OSStatus kIBCarbonRuntimeObjectNotOfRequestedType = -10961;
constexpr OSStatus kIBCarbonRuntimeCantFindObject = -10962;
constexpr OSStatus kAHInternalErr = -10790;
constexpr OSStatus kAHHelpBookNotFound = -10792;  // no such help book or page
constexpr OSStatus userCanceledErr = -128;

// The four characters of a code, most significant byte first: FourCC("TEXT").
constexpr FourCharCode FourCC(const char (&code)[5]) {
  return (FourCharCode(std::uint8_t(code[0])) << 24) | (FourCharCode(std::uint8_t(code[1])) << 16) |
         (FourCharCode(std::uint8_t(code[2])) << 8) | FourCharCode(std::uint8_t(code[3]));
}

// The code as its four characters, for properties in interface descriptions.
std::string FourCCString(FourCharCode code);
// The code of a four-character text; 0 when the text is not exactly four Latin-1 characters.
FourCharCode FourCCFromString(const std::string& text);
