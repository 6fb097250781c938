// The guarded copy of one file, with its version check and prompt.
#pragma once

#include "base/result.h"

// Answers of askConfirmation.
#define ANSWER_CANCEL 0
#define ANSWER_YES 1
#define ANSWER_NO 2

// Copies sourceDir + name to targetDir + name (both directories end in a
// backslash), asking first when the source is older than the target. A copy
// the user declines counts as done. Fails as "FindFirstFileA" when the
// source is missing, as "building the path" when a path does not fit, and as
// "CopyFileA" when the copy itself fails.
Result copyFileGuarded(const char* sourceDir, const char* targetDir, const char* name, int quiet);

int askConfirmation(const char* prompt, int quiet);

// First printable, non-space ASCII character of the text, or null.
const char* skipToGraphic(const char* text);
