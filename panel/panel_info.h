// The search panel's one state record and the map of its controls.
#pragma once

#include <optional>

#include "platform/metadata/query.h"
#include "platform/toolkit/toolkit.h"

// Control signatures of the panel window (resources/orvane.ui).
constexpr OSType kTextSignature = FourCC("TEXT");    // 'TEXT' 0..9: the ten entry fields
constexpr OSType kCheckSignature = FourCC("CHEC");   // 'CHEC' 0..2: whole words, case, exact formula
constexpr OSType kMenuSignature = FourCC("MENU");    // 'MENU' 0..3 and 7: the popups
constexpr OSType kDisplaySignature = FourCC("DISP"); // 'DISP' 0 summary, 'DISP' 1 status
constexpr OSType kBrowserSignature = FourCC("BROW"); // 'BROW' 0: the result list
constexpr OSType kLastQuerySignature = FourCC("LaQu");

constexpr int kFieldCount = 10;
constexpr int kCheckCount = 3;
constexpr int kRecordedMenuCount = 4;

// Indices of fieldText with a meaning of their own elsewhere.
constexpr int kPeakField = 5;
constexpr int kFolderField = 6;
constexpr int kNucleusField = 7;
constexpr int kAfterYearField = 8;
constexpr int kBeforeYearField = 9;
constexpr int kScopeMenu = 2;
// 'MENU' 4, beside the SMILES field: how its text is searched.
constexpr int kSmilesMenu = 4;
enum SmilesSearch : SInt16 { kSmilesContainsText = 1, kSmilesSubstructure = 2, kSmilesSimilar = 3 };

struct PanelInfo {
  WindowRef window = nullptr;  // the panel window; set once by StartOrvane
  // Item numbers of 'MENU' 0..3 at the last search (or as restored at start); 0: none.
  // With checkFlags they form the run of five values the preferences keep.
  SInt16 menuValue[kRecordedMenuCount] = {};
  SInt16 checkFlags = 0;  // bit i: 'CHEC' i was on at the last search
  SInt16 smilesSearch = 0;  // 'MENU' 4 at the last search (SmilesSearch); 0: none recorded
  // Texts of 'TEXT' 0..9 at the last search; no value: the field counted as empty.
  std::optional<QString> fieldText[kFieldCount];
  metadata::MDQueryRef query;            // the last query that ran: the list's rows, the base of 'SinR'
  ControlRef summaryText = nullptr;      // 'DISP' 0
  ControlRef statusText = nullptr;       // 'DISP' 1
  ControlRef resultBrowser = nullptr;    // 'BROW' 0
  ControlRef lastQueryButton = nullptr;  // 'LaQu' 0
  ControlRef spectrumView = nullptr;     // 'PICT' 0, above the summary text
  ControlRef structureView = nullptr;    // 'PICT' 1
};

// The one record: null before StartOrvane and after OrvaneStorePreferences.
extern PanelInfo* sInfo;

// Copies the record's entries into the panel's controls; never changes the record.
void SetOptions();
