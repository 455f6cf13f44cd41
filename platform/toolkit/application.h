// The application object the toolkit's windows live in.
#pragma once

#include <functional>
#include <string>

#include "platform/toolkit/types.h"

// Makes the application (named `name`, of `version`, shown in About), runs
// `body` in it, disposes of every window left and returns what `body` returned.
// `argc` and `argv` are the program's own: the toolkit takes its options from them.
int RunApplication(int& argc, char** argv, const char* name, const char* version, const std::function<int()>& body);

// The folder this program was started from, as the file system spells it.
std::string ApplicationFolder();

// The window the user works in now; null when none of the application's is.
WindowRef ActiveNonFloatingWindow();
