// A temporary home for one test: XDG folders of its own, so no test reads or
// writes the user's preferences or index.
#pragma once

#include <filesystem>
#include <string>

class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path config() const { return root_ / "config"; }
  std::filesystem::path data() const { return root_ / "data"; }

 private:
  std::filesystem::path root_;
  std::string savedConfig_, savedData_, savedHome_;
  bool hadConfig_, hadData_, hadHome_;
};

std::string ReadFile(const std::filesystem::path& file);
void WriteFile(const std::filesystem::path& file, const std::string& contents);
