// Version stamps in shipped files, between the markers "!@#$" and "$#@!".
#pragma once

// Leftmost occurrence of the NUL-terminated pattern in the block, or null.
const char* findPattern(const char* pattern, const char* block, int length);

// Compares the stamps of two files: 0 equal, -1 the source is older, 1 the
// source is newer or no comparison could be made.
int compareFileVersions(const char* sourcePath, const char* targetPath);
