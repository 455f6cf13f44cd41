// The application's preference store: typed values (numbers, strings and arrays
// of them) under string keys, kept in $XDG_CONFIG_HOME/orvane/preferences.json.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// The stored value of `key`; none when the key, the file or its contents are
// missing, unreadable or damaged.
std::optional<nlohmann::json> PreferencesCopyAppValue(const std::string& key);
// Sets `key` for the next synchronization.
void PreferencesSetAppValue(const std::string& key, nlohmann::json value);
// Writes the values set since the last synchronization into the file, keeping
// every other key it holds; atomic (a new file renamed over the old). A damaged
// file is kept beside the new one as preferences.json.damaged. False when the
// file could not be written; the values set stay pending.
bool PreferencesAppSynchronize();

std::filesystem::path PreferencesFile();
