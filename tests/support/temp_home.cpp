#include "tests/support/temp_home.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

bool Save(const char* name, std::string& value) {
  const char* current = std::getenv(name);
  if (current) value = current;
  return current != nullptr;
}

void Restore(const char* name, bool had, const std::string& value) {
  if (had)
    setenv(name, value.c_str(), 1);
  else
    unsetenv(name);
}

}  // namespace

TempHome::TempHome() {
  std::string pattern = (fs::temp_directory_path() / "orvane-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  fs::create_directories(config());
  fs::create_directories(data());
  fs::create_directories(root_ / "home");
  hadConfig_ = Save("XDG_CONFIG_HOME", savedConfig_);
  hadData_ = Save("XDG_DATA_HOME", savedData_);
  hadHome_ = Save("HOME", savedHome_);
  setenv("XDG_CONFIG_HOME", config().c_str(), 1);
  setenv("XDG_DATA_HOME", data().c_str(), 1);
  setenv("HOME", (root_ / "home").c_str(), 1);
}

TempHome::~TempHome() {
  Restore("XDG_CONFIG_HOME", hadConfig_, savedConfig_);
  Restore("XDG_DATA_HOME", hadData_, savedData_);
  Restore("HOME", hadHome_, savedHome_);
  std::error_code ignored;
  fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(root_, ignored);
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void WriteFile(const fs::path& file, const std::string& contents) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << contents;
}
