// The installer's trace: one line for every failed step, naming the
// operation, the Windows error code and the object, for a debugger or a
// system-wide debug output viewer. The console keeps its short texts.
#pragma once

#include "base/result.h"
#include "messages/messages.h"

// Writes "SETUP: <operation> failed with error <code> (<object>)" to the
// debug output when the result is a failure; returns the result unchanged.
const Result& traceFailure(const Result& result);

// A failed step that the console reports as "File system error: <code>":
// the trace line, then the message.
void printFileSystemError(const Catalogue& messages, const Result& failure);
