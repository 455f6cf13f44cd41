// Puts a recording xdg-open first on PATH for one test, and reads back the
// argument vectors it was called with.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

class RecordingOpener {
 public:
  explicit RecordingOpener(const std::filesystem::path& folder);
  ~RecordingOpener();
  std::vector<std::vector<std::string>> Calls() const;

 private:
  std::filesystem::path record_;
  std::string savedPath_;
};
