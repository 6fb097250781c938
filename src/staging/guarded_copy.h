// The guarded copy of one file, with its version check and prompt.
#pragma once

#include "base/result.h"
#include "messages/messages.h"

// Copies sourceDir + name to targetDir + name (both directories end in a
// backslash), asking first when the source is older than the target. A copy
// the user declines counts as done. Fails as "FindFirstFileA" when the
// source is missing, as "building the path" when a path does not fit, and as
// "CopyFileA" when the copy itself fails; the callers go on either way.
Result copyFileGuarded(const Catalogue& messages, const char* sourceDir, const char* targetDir, const char* name,
                       bool quiet);

// The answers to the copy prompt, in the order of their catalogue words.
enum Answer { AnswerCancel = 0, AnswerYes = 1, AnswerNo = 2 };

// Prints the prompt and reads answer lines until one begins with an answer
// word of the catalogue. A quiet run answers yes without asking.
Answer askConfirmation(const Catalogue& messages, const char* prompt, bool quiet);

// First printable, non-space ASCII character of the text, or null.
const char* skipToGraphic(const char* text);
