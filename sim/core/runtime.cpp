#include "sim/core/runtime.h"

#include <vector>

namespace sim {

namespace {

std::vector<void (*)()>& resetFunctions() {
    static std::vector<void (*)()> f;
    return f;
}

}  // namespace

void onTestReset(void (*clear)()) { resetFunctions().push_back(clear); }

void resetForTest(const Machine& m) {
    for (auto clear : resetFunctions()) clear();
    std::lock_guard<std::recursive_mutex> g(lock());
    resetHandles();
    resetCalls();
    useMachine(m);
    setProcessAccount("");
    SetLastError(0);
}

}  // namespace sim
