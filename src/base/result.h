// The outcome of one step of the installer: success, or the operation that
// failed with the Windows error code it left and the object it worked on.
// Every step that can fail returns one; the flow decides what a failure
// means for the run (setup/outcome.h maps the run's outcome onto the exit
// code and the final texts), and traceFailure (messages/trace.h) records
// what the console texts have no room for.
#pragma once

#include "base/path_buffer.h"

// Room for the object's name in a result: a path, a key or a hardware id.
constexpr std::size_t ResultObjectSize = PathBufferSize;

class Result {
public:
    static Result success() { return Result(); }
    static Result failure(const char* operation, unsigned long error, const char* object = "") {
        Result r;
        r.operation_ = operation;
        r.error_ = error;
        // Cut to the buffer if ever longer: the name is only reported.
        std::size_t n = 0;
        for (; object && object[n] != '\0' && n + 1 < sizeof r.object_; ++n) r.object_[n] = object[n];
        r.object_[n] = '\0';
        return r;
    }

    bool ok() const { return operation_ == nullptr; }
    // The Windows call or step that failed; null on success.
    const char* operation() const { return operation_; }
    // The error code it left (the last error, or the code the call returned).
    unsigned long error() const { return error_; }
    const char* object() const { return object_; }

private:
    Result() = default;

    const char* operation_ = nullptr;
    unsigned long error_ = 0;
    char object_[ResultObjectSize] = {};
};
