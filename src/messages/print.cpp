#include <cstdarg>
#include <cstdio>

#include "messages/messages.h"

const char** messageTable;

void printMessage(int index, ...) {
    if (index < 0 || index >= MESSAGE_COUNT) return;
    const char** table = messageTable ? messageTable : BuiltinMessages;
    va_list args;
    va_start(args, index);
    std::vprintf(table[index], args);
    va_end(args);
    std::fflush(stdout);
}
