// Interface descriptions ("nibs"): Qt Designer files loaded by name at run time.
// "main" holds the menu bar, "orvane" the panel window.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/toolkit/types.h"

struct NibReference;
struct NibReferenceDeleter {
  void operator()(NibReference* nib) const;
};
using IBNibRef = std::unique_ptr<NibReference, NibReferenceDeleter>;  // disposing is letting it go

// Opens the description `name`.ui from the resource folders. A missing or
// unreadable file gives kIBCarbonRuntimeCantFindNibFile.
OSStatus CreateNibReference(std::string_view name, IBNibRef& outNib);
void DisposeNibReference(IBNibRef& nib);

// Builds the menu bar `name` of the description and makes it the application's
// menu bar: it is attached to the next window made from a description, or shown
// in a small window of its own when the event loop runs without one.
OSStatus SetMenuBarFromNib(const NibReference& nib, std::string_view name);

// Builds the top-level window `name` of the description, hidden.
OSStatus CreateWindowFromNib(const NibReference& nib, std::string_view name, WindowRef* outWindow);

// Where descriptions are looked for, first match wins. By default: the folder
// share/orvane beside the program's bin folder (build tree and installation alike).
std::vector<std::filesystem::path> ResourceFolders();
void SetResourceFolders(std::vector<std::filesystem::path> folders);
