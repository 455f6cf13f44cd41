#include "commands/folder_chooser.h"

#include "panel/panel_info.h"

namespace {

constexpr SInt32 kFolderScopeItem = 4;
constexpr UInt32 kChooserPreferenceKey = 9;

void TakeChosenFolder(NavDialogRef dialog) {
  std::string path;
  if (!ChosenFolderPath(dialog, path) || !sInfo) return;
  ControlRef field = nullptr;
  GetControlByID(sInfo->window, {kTextSignature, kFolderField}, &field);
  SetControlData(field, kControlEntireControl, kControlEditTextCFStringTag, TextFromFileSystemPath(path));
}

}  // namespace

bool ChosenFolderPath(NavDialogRef dialog, std::string& path) {
  NavReplyRecord reply;
  if (NavDialogGetReply(dialog, &reply) != noErr) return false;
  bool found = false;
  AEDesc descriptor;
  if (AEGetNthDesc(&reply.selection, 1, typeWildCard, nullptr, &descriptor) == noErr) {
    FSRef folder;
    // Any path the file system gives is taken, however long.
    found = AEGetDescData(&descriptor, &folder) == noErr && FSRefMakePath(&folder, &path) == noErr;
    AEDisposeDesc(&descriptor);
  }
  NavDisposeReply(&reply);
  return found;
}

OSStatus OpenFolderChooser(WindowRef window) {
  ControlRef scope = nullptr;
  GetControlByID(window, {kMenuSignature, kScopeMenu}, &scope);
  if (GetControl32BitValue(scope) != kFolderScopeItem) return noErr;

  NavDialogCreationOptions options;
  if (OSStatus status = NavGetDefaultDialogCreationOptions(&options); status != noErr) return status;
  options.preferenceKey = kChooserPreferenceKey;
  options.modality = kWindowModalityWindowModal;
  options.parentWindow = window;
  NavDialogRef dialog = nullptr;
  if (OSStatus status = NavCreateChooseFolderDialog(&options, NavigationCallback, nullptr, nullptr, &dialog); status != noErr)
    return status;
  if (!dialog) return noErr;
  if (OSStatus status = NavDialogRun(dialog); status != noErr) {
    NavDialogDispose(dialog);
    return status;
  }
  return noErr;  // the sheet stays open; the callback disposes of the dialog
}

void NavigationCallback(NavEventCallbackMessage message, NavCBRecPtr parameters, void*) {
  switch (message) {
    case kNavCBTerminate:
      NavDialogDispose(parameters->context);
      break;
    case kNavCBUserAction:
      if (NavDialogGetUserAction(parameters->context) == kNavUserActionChoose) TakeChosenFolder(parameters->context);
      break;
    default:
      break;
  }
}
