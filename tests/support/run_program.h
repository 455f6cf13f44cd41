// Runs a program with an argument vector (no shell) and collects what it says.
#pragma once

#include <map>
#include <string>
#include <vector>

struct ProgramOutput {
  int status = -1;  // the exit status, or 128 + the signal
  std::string out;
  std::string err;
};

ProgramOutput RunProgram(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::map<std::string, std::string>& environment = {});

// Starts a program without waiting; its output goes to /dev/null.
int StartProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment = {});
