// Version stamps in shipped files, between the markers "!@#$" and "$#@!".
#pragma once

#include "messages/messages.h"

// Leftmost occurrence of the NUL-terminated pattern in the block, or null.
const char* findPattern(const char* pattern, const char* block, int length);

// How the stamp of a source file compares with that of its target. The
// values are those of a three-way comparison.
enum VersionOrder {
    SourceOlder = -1,
    SameVersion = 0,
    // The source is newer, or the stamps could not be compared: either way
    // the copy goes ahead without a question.
    SourceNotOlder = 1,
};

// Compares the stamps of two files. Prints message 51 from the catalogue
// when the read buffer cannot be had.
VersionOrder compareFileVersions(const Catalogue& messages, const char* sourcePath, const char* targetPath);
