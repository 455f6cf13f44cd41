// A window that tells how far work in the background has got, with one
// button: Cancel while the work runs, Close once it is over. It shows work of
// unknown length until it is marked finished; closing it disposes of it.
#pragma once

#include <functional>
#include <string>

#include "platform/toolkit/text.h"
#include "platform/toolkit/types.h"

struct ProgressSheetOptions {
  std::string name;  // the window's identifier
  QString title;
  QString text;
  QString buttonTitle;
  WindowRef parent = nullptr;  // the window it belongs to; none: on its own
};

// Called when the user presses the button or closes the sheet; the sheet has
// already hidden itself by then, and goes only when closed.
using ProgressSheetButtonHandler = std::function<void(WindowRef sheet)>;

// Makes the sheet, hidden.
OSStatus CreateProgressSheet(const ProgressSheetOptions& options, ProgressSheetButtonHandler handler, WindowRef* outSheet);
OSStatus ShowProgressSheet(WindowRef sheet);
OSStatus SetProgressSheetText(WindowRef sheet, const QString& text);
OSStatus SetProgressSheetButtonTitle(WindowRef sheet, const QString& title);
// The bar full: the work is over.
OSStatus SetProgressSheetFinished(WindowRef sheet);
// Closes the sheet, which disposes of it and of what it owns.
OSStatus CloseProgressSheet(WindowRef sheet);
