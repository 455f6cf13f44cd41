// The choose-folder dialog: shown as a sheet on a window (window-modal), it
// runs without blocking, and its callback is called later from the event loop
// with the user's action, then once more when the dialog ends.
#pragma once

#include <string>
#include <vector>

#include "platform/toolkit/text.h"
#include "platform/toolkit/types.h"

using NavEventCallbackMessage = SInt32;
constexpr NavEventCallbackMessage kNavCBEvent = 0;
constexpr NavEventCallbackMessage kNavCBStart = 2;
constexpr NavEventCallbackMessage kNavCBTerminate = 3;
constexpr NavEventCallbackMessage kNavCBUserAction = 12;

using NavUserAction = UInt32;
constexpr NavUserAction kNavUserActionNone = 0;
constexpr NavUserAction kNavUserActionCancel = 1;
constexpr NavUserAction kNavUserActionChoose = 4;

enum WindowModality : UInt32 {
  kWindowModalityNone = 0,
  kWindowModalitySystemModal = 1,
  kWindowModalityAppModal = 2,
  kWindowModalityWindowModal = 3,
};

struct NavDialogCreationOptions {
  UInt16 version = 0;
  UInt32 preferenceKey = 0;  // the last folder shown is remembered under it; 0: not remembered
  WindowModality modality = kWindowModalityAppModal;
  WindowRef parentWindow = nullptr;
  QString windowTitle;                           // empty: the toolkit's own
  std::string dialogName = "ChooseFolderDialog";  // the dialog's identifier
};

struct NavDialog;
using NavDialogRef = NavDialog*;

struct NavCBRec {
  UInt16 version = 0;
  NavDialogRef context = nullptr;  // the dialog
  WindowRef window = nullptr;      // its parent
};
using NavCBRecPtr = NavCBRec*;
using NavEventUPP = void (*)(NavEventCallbackMessage message, NavCBRecPtr parameters, void* userData);

// Descriptors of the reply: each chosen item, as the file system's reference.
using DescType = FourCharCode;
using AEKeyword = FourCharCode;
constexpr DescType typeWildCard = FourCC("****");
constexpr DescType typeFSRef = FourCC("fsrf");
struct AEDesc {
  DescType descriptorType = 0;
  std::string data;
};
struct AEDescList {
  std::vector<AEDesc> items;
};
struct NavReplyRecord {
  bool validRecord = false;
  AEDescList selection;
};
// A file or folder, by the bytes of its path as the file system spells them.
struct FSRef {
  std::string path;
};

constexpr OSStatus errAEDescNotFound = -1701;
constexpr OSStatus errAECoercionFail = -1700;

OSStatus NavGetDefaultDialogCreationOptions(NavDialogCreationOptions* options);
// `filter` stands for the platform's filter callback and must be null here.
OSStatus NavCreateChooseFolderDialog(const NavDialogCreationOptions* options, NavEventUPP callback, void* filter,
                                     void* userData, NavDialogRef* outDialog);
OSStatus NavDialogRun(NavDialogRef dialog);
void NavDialogDispose(NavDialogRef dialog);
NavUserAction NavDialogGetUserAction(NavDialogRef dialog);
OSStatus NavDialogGetReply(NavDialogRef dialog, NavReplyRecord* reply);
OSStatus NavDisposeReply(NavReplyRecord* reply);

// Item `index` (from 1) of the list.
OSStatus AEGetNthDesc(const AEDescList* list, long index, DescType desiredType, AEKeyword* keyword, AEDesc* result);
OSStatus AEGetDescData(const AEDesc* descriptor, FSRef* outRef);
OSStatus AEDisposeDesc(AEDesc* descriptor);
// The path of the reference, as long as the file system allows (PATH_MAX).
OSStatus FSRefMakePath(const FSRef* ref, std::string* outPath);
