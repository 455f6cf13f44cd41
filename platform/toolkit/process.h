// Running another program: an argument vector, never a shell, so no byte of
// an argument is ever interpreted on the way.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/toolkit/types.h"

// Runs `program` (found on PATH) with `arguments` and waits for it to end.
// noErr when it ran, whatever its exit status; an error when it could not start.
OSStatus RunProgramAndWait(const std::string& program, const std::vector<std::string>& arguments);

// A program that runs while the event loop goes on. What it writes on its
// standard error reaches the application line by line from the event loop.
struct BackgroundProcess;
using BackgroundProcessRef = BackgroundProcess*;

struct BackgroundProcessEnd {
  bool started = true;   // false: the program could not be started at all
  bool crashed = false;  // ended by a signal, a termination asked for included
  int exitStatus = 0;
};

struct BackgroundProcessCallbacks {
  // Each whole line of standard error, without its newline.
  std::function<void(const std::string& line)> errorLine;
  // Once, after the last line; or when the program could not be started.
  std::function<void(const BackgroundProcessEnd& end)> ended;
};

// Starts `program` (a path) with `arguments`. The process belongs to `owner`:
// when that window is disposed of, a program still running is killed, and no
// callback comes after.
OSStatus StartBackgroundProcess(const std::string& program, const std::vector<std::string>& arguments, WindowRef owner,
                                BackgroundProcessCallbacks callbacks, BackgroundProcessRef* outProcess);
bool IsBackgroundProcessRunning(BackgroundProcessRef process);
// Asks the program to end (SIGTERM), so it can end cleanly; its end comes to
// the `ended` callback as any other.
OSStatus TerminateBackgroundProcess(BackgroundProcessRef process);
