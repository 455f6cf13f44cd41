#include "panel/panel_info.h"

void SetOptions() {
  WindowRef window = sInfo->window;
  const SInt16 checkFlags = sInfo->checkFlags;
  ControlRef control = nullptr;

  for (SInt32 i = 0; i < kFieldCount; ++i) {
    if (GetControlByID(window, {kTextSignature, i}, &control) != noErr) continue;
    SetControlData(control, kControlEntireControl, kControlEditTextCFStringTag,
                   sInfo->fieldText[i].value_or(QString()));
  }
  for (SInt32 i = 0; i < kCheckCount; ++i) {
    if (GetControlByID(window, {kCheckSignature, i}, &control) != noErr) continue;
    SetControl32BitValue(control, (checkFlags & (1 << i)) ? 1 : 0);
  }
  for (SInt32 i = 0; i < kRecordedMenuCount; ++i) {
    if (sInfo->menuValue[i] == 0) continue;  // no value recorded: the popup keeps its item
    if (GetControlByID(window, {kMenuSignature, i}, &control) != noErr) continue;
    SetControl32BitValue(control, sInfo->menuValue[i]);
  }
  if (sInfo->smilesSearch != 0 && GetControlByID(window, {kMenuSignature, kSmilesMenu}, &control) == noErr)
    SetControl32BitValue(control, sInfo->smilesSearch);
}
