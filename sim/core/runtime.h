// The process's view of the simulated machine, as a test, a benchmark or a
// tool takes it: the machine it runs in (current_machine.h), its handles
// and heap blocks (handles.h), the record of its platform calls and the
// faults to inject (calls.h); and the fresh start of each unit test.
#pragma once

#include "sim/core/calls.h"
#include "sim/core/current_machine.h"
#include "sim/core/handles.h"
#include "sim/core/machine.h"

namespace sim {

// Unit tests call this before each test: a fresh machine built by the
// given function, with recording on.
void resetForTest(const Machine& m);

// Process state kept outside the core (the token's privileges, the service
// dispatcher, file searches) registers a function that resetForTest calls
// to clear it.
void onTestReset(void (*clear)());

}  // namespace sim
