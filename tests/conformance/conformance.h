// Call-level conformance checks of the platform calls the installer makes,
// written once against the platform headers (src/platform/) and built
// twice: on Linux against the simulated machine (the CTest test
// Conformance.simulator), and with MinGW-w64 as a Windows program that the
// Wine suite runs in a prefix (Wine.conformance_calls).
//
// Each check is made as conformance tests of a Windows implementation make
// them: the last error set to a sentinel before the call, the call's result
// and the last error it left compared with Windows' answer (a success that
// leaves the sentinel, or clears it, is part of that answer).
//
// A check whose answer differs where it runs, as a row of
// docs/differences.md names it, is made with known(): the row's name says
// where it differs (wine-... under Wine, sim-... in the simulator), and
// there the other answer must show, so that a difference that went away is
// seen too. A case that the simulator cannot answer (a call it does not
// make, or not yet) is reported as skipped with its reason, and counted.
#pragma once

#include "platform/owned.h"

namespace conformance {

// The last error set before each call.
const DWORD Sentinel = 0xDEADBEEF;
// An error that the check does not compare (the call's result decides).
const DWORD AnyError = 0xFFFFFFFF;

// Where the checks run: Windows itself, Wine, or the simulated machine.
enum class Backend { Windows, Wine, Simulator };
Backend backend();
const char* backendName();

// A call's answer: its result (a BOOL, a LONG error code, or whether a
// handle was given) and the last error it left.
struct Answer {
    long result;
    DWORD error;
};

// Sets the sentinel, makes the call, and takes its answer.
template <typename Call>
Answer answer(Call call) {
    SetLastError(Sentinel);
    long result = static_cast<long>(call());
    DWORD error = GetLastError();
    return Answer{result, error};
}

// Whether a handle was given, as a result.
inline long given(const void* handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// The checks (the macros below give the file and line).
void check(const char* file, int line, bool condition, const char* what);
void checkAnswer(const char* file, int line, const char* what, const Answer& got, const Answer& windows);
void checkKnown(const char* file, int line, const char* difference, const char* what, const Answer& got,
                const Answer& windows, const Answer& there);
void skipCase(const char* file, int line, const char* what, const char* reason);

// Prints what failed, the known differences met and the cases skipped, and
// a summary line; the program's exit status (0: every check held).
int report();

// The machine the checks run on: the simulator's made and checked for what
// was left open (simulator/machine.cpp); nothing to do on Windows, where the
// Wine suite prepares the prefix.
void prepareMachine();
void finishMachine();

// The cases, a file of each part of the machine.
void registryCases();
void serviceCases();
void fileCases();
void setupApiCases();

// The folder of the files the cases make, and the hardware id of the device
// that the machine brings whose binding asks for a restart (made by the
// Wine suite as a root device).
extern const char* const WorkFolder;
extern const char* const RestartDeviceId;

}  // namespace conformance

// ok(condition, "what"): a condition that holds on Windows.
#define ok(condition, what) conformance::check(__FILE__, __LINE__, (condition), (what))
// expect_answer("what", answer, result, error): Windows' answer; "what"
// starts with the call's name (the report counts the calls compared).
#define expect_answer(what, got, result, error)                 \
    conformance::checkAnswer(__FILE__, __LINE__, (what), (got), \
                             conformance::Answer{static_cast<long>(result), static_cast<DWORD>(error)})
// known_answer("row", "what", answer, result, error, result there, error there):
// Windows' answer, and the answer where the row of docs/differences.md applies
// (a null row: nowhere).
#define known_answer(difference, what, got, result, error, resultThere, errorThere)                    \
    conformance::checkKnown(__FILE__, __LINE__, (difference), (what), (got),                           \
                            conformance::Answer{static_cast<long>(result), static_cast<DWORD>(error)}, \
                            conformance::Answer{static_cast<long>(resultThere), static_cast<DWORD>(errorThere)})
// skip_case("what", "why"): a case that cannot be checked where the checks
// run (a call the simulator does not answer, or not yet), reported and counted.
#define skip_case(what, reason) conformance::skipCase(__FILE__, __LINE__, (what), (reason))
