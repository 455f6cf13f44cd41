// Running another program: an argument vector, never a shell, so no byte of
// an argument is ever interpreted on the way.
#pragma once

#include <string>
#include <vector>

#include "platform/toolkit/types.h"

// Runs `program` (found on PATH) with `arguments` and waits for it to end.
// noErr when it ran, whatever its exit status; an error when it could not start.
OSStatus RunProgramAndWait(const std::string& program, const std::vector<std::string>& arguments);
