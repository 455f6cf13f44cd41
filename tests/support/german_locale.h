// A German C locale (decimal comma) for tests that check the program writes
// numbers the same in every locale. Machines often have only C and C.UTF-8:
// then the locale is compiled from the system's sources (package "locales")
// with localedef into a temporary folder that LOCPATH names, once per
// process. Header only, for any test program.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

class GermanLocale {
 public:
  // Switches LC_ALL to de_DE.UTF-8; active() tells whether it worked and
  // reason() why not.
  GermanLocale() : saved_(std::setlocale(LC_ALL, nullptr)) {
    const char* locpath = std::getenv("LOCPATH");
    hadLocpath_ = locpath != nullptr;
    if (locpath) savedLocpath_ = locpath;
    if (std::setlocale(LC_ALL, kName)) {
      active_ = HasDecimalComma();
      return;
    }
    const std::filesystem::path& compiled = Compiled(reason_);
    if (compiled.empty()) return;
    setenv("LOCPATH", compiled.c_str(), 1);  // glibc reads it at every setlocale call
    if (!std::setlocale(LC_ALL, kName)) {
      reason_ = "setlocale cannot load the locale compiled into " + compiled.string();
      return;
    }
    active_ = HasDecimalComma();
  }
  ~GermanLocale() {
    std::setlocale(LC_ALL, saved_.c_str());
    if (hadLocpath_)
      setenv("LOCPATH", savedLocpath_.c_str(), 1);
    else
      unsetenv("LOCPATH");
  }
  GermanLocale(const GermanLocale&) = delete;
  GermanLocale& operator=(const GermanLocale&) = delete;

  bool active() const { return active_; }
  const std::string& reason() const { return reason_; }

 private:
  static constexpr const char* kName = "de_DE.UTF-8";

  bool HasDecimalComma() {
    if (std::strcmp(std::localeconv()->decimal_point, ",") == 0) return true;
    reason_ = std::string(kName) + " is loaded but its decimal separator is '" + std::localeconv()->decimal_point + "'";
    return false;
  }

  // The compiled locale, removed when the process ends.
  struct CompiledFolder {
    std::filesystem::path folder;
    std::string failure;
    ~CompiledFolder() {
      std::error_code ignored;
      if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
    }
  };

  // The folder holding the compiled locale; empty with `reason` when
  // localedef is missing or fails (the locale sources come with "locales").
  static const std::filesystem::path& Compiled(std::string& reason) {
    static CompiledFolder compiled = Compile();
    reason = compiled.failure;
    return compiled.folder;
  }

  static CompiledFolder Compile() {
    CompiledFolder compiled;
    std::string pattern = (std::filesystem::temp_directory_path() / "orvane-locale-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      compiled.failure = "no temporary folder for the compiled locale";
      return compiled;
    }
    compiled.folder = pattern;
    const std::string target = pattern + "/" + kName;
    const char* arguments[] = {"localedef", "-i", "de_DE", "-f", "UTF-8", target.c_str(), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, "localedef", &quiet, nullptr, const_cast<char* const*>(arguments), environ);
    posix_spawn_file_actions_destroy(&quiet);
    int status = 0;
    if (spawned == 0)
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
    if (spawned != 0)
      compiled.failure = "localedef cannot be run: " + std::string(std::strerror(spawned));
    else if (!WIFEXITED(status) || WEXITSTATUS(status) > 1)  // 1: written, with warnings
      compiled.failure = "localedef could not compile de_DE.UTF-8 (its sources come with the package \"locales\")";
    if (!compiled.failure.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(compiled.folder, ignored);
      compiled.folder.clear();
    }
    return compiled;
  }

  std::string saved_;
  std::string savedLocpath_;
  bool hadLocpath_ = false;
  bool active_ = false;
  std::string reason_;
};
