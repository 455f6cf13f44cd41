#include "app/preferences.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::map<std::string, json>& PendingValues() {
  static std::map<std::string, json> pending;
  return pending;
}

fs::path HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

fs::path ConfigFolder() {
  // The XDG base directory rules say a relative value is to be ignored.
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') return config;
  return HomeFolder() / ".config";
}

enum class FileState { Missing, Valid, Damaged };

FileState ReadStore(json& out) {
  out = json::object();
  std::ifstream in(PreferencesFile(), std::ios::binary);
  if (!in) return errno == ENOENT ? FileState::Missing : FileState::Damaged;
  std::stringstream contents;
  contents << in.rdbuf();
  json parsed = json::parse(contents.str(), nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return FileState::Damaged;
  out = std::move(parsed);
  return FileState::Valid;
}

bool WriteAll(int fd, const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    left -= size_t(written);
  }
  return true;
}

bool ReplaceFileAtomically(const fs::path& file, const std::string& text) {
  std::string temporary = (file.parent_path() / ".preferences.json.XXXXXX").string();
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(temporary.c_str(), file.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

}  // namespace

fs::path PreferencesFile() { return ConfigFolder() / "orvane" / "preferences.json"; }

std::optional<json> PreferencesCopyAppValue(const std::string& key) {
  if (auto pending = PendingValues().find(key); pending != PendingValues().end()) return pending->second;
  json store;
  if (ReadStore(store) != FileState::Valid) return std::nullopt;
  auto found = store.find(key);
  if (found == store.end()) return std::nullopt;
  return *found;
}

void PreferencesSetAppValue(const std::string& key, json value) { PendingValues()[key] = std::move(value); }

bool PreferencesAppSynchronize() {
  if (PendingValues().empty()) return true;
  const fs::path file = PreferencesFile();
  std::error_code error;
  fs::create_directories(file.parent_path(), error);
  if (error) return false;

  json store;
  if (ReadStore(store) == FileState::Damaged) {
    // Keep what cannot be read, in case it matters to the user; the rest goes on.
    fs::copy_file(file, fs::path(file) += ".damaged", fs::copy_options::overwrite_existing, error);
  }
  for (const auto& [key, value] : PendingValues()) store[key] = value;
  if (!ReplaceFileAtomically(file, store.dump(2) + "\n")) return false;
  PendingValues().clear();
  return true;
}
