// The installer's trace on the debug output.
#include "messages/trace.h"

#include <cstdio>

#include "platform/win_base.h"

namespace {

// A trace line: the operation, the code in decimal and in hexadecimal (the
// Setup API's codes read better so), and the object.
constexpr std::size_t TraceLineSize = ResultObjectSize + 160;

}  // namespace

const Result& traceFailure(const Result& result) {
    if (result.ok()) return result;
    char line[TraceLineSize];
    std::snprintf(line, sizeof line, "SETUP: %s failed with error %lu (0x%08lX) (%s)\n", result.operation(),
                  result.error(), result.error(), result.object());
    OutputDebugStringA(line);
    return result;
}

void printFileSystemError(const Catalogue& messages, const Result& failure) {
    traceFailure(failure);
    messages.print(MsgFileSystemError, static_cast<int>(failure.error()));
}
