// The checks' record and report, and where they run.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "conformance.h"

namespace conformance {

namespace {

struct Record {
    int checks = 0;
    int failures = 0;
    int known = 0;
    int skipped = 0;
    std::set<std::string> differences;  // the rows met
    std::set<std::string> calls;        // the platform calls whose answers were compared
};

Record& record() {
    static Record r;
    return r;
}

const char* baseName(const char* file) {
    const char* name = file;
    for (const char* p = file; *p; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

// A compared answer's call: the first word of what the check says.
void noteCall(const char* what) {
    std::string call(what, std::strcspn(what, " '"));
    record().calls.insert(call);
}

bool same(const Answer& got, const Answer& expected) {
    return got.result == expected.result && (expected.error == AnyError || got.error == expected.error);
}

// "5 0xdeadbeef" (an error not compared: "5 any").
std::string shown(const Answer& a) {
    char text[48];
    if (a.error == AnyError)
        std::snprintf(text, sizeof text, "%ld any", a.result);
    else
        std::snprintf(text, sizeof text, "%ld 0x%lx", a.result, static_cast<unsigned long>(a.error));
    return text;
}

// Whether a row of docs/differences.md applies where the checks run.
bool applies(const char* difference) {
    if (!difference) return false;
    const char* side = backend() == Backend::Wine ? "wine-" : backend() == Backend::Simulator ? "sim-" : nullptr;
    return side && std::strncmp(difference, side, std::strlen(side)) == 0;
}

}  // namespace

Backend backend() {
#ifdef _WIN32
    // Wine's own export, as Wine's conformance tests find it.
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine ? Backend::Wine : Backend::Windows;
#else
    return Backend::Simulator;
#endif
}

const char* backendName() {
    switch (backend()) {
        case Backend::Wine:
            return "wine";
        case Backend::Simulator:
            return "simulator";
        default:
            return "windows";
    }
}

void check(const char* file, int line, bool condition, const char* what) {
    Record& r = record();
    ++r.checks;
    if (condition) return;
    ++r.failures;
    std::printf("%s:%d: failed: %s\n", baseName(file), line, what);
}

void checkAnswer(const char* file, int line, const char* what, const Answer& got, const Answer& windows) {
    noteCall(what);
    Record& r = record();
    ++r.checks;
    if (same(got, windows)) return;
    ++r.failures;
    std::printf("%s:%d: failed: %s: %s, Windows %s\n", baseName(file), line, what, shown(got).c_str(),
                shown(windows).c_str());
}

void checkKnown(const char* file, int line, const char* difference, const char* what, const Answer& got,
                const Answer& windows, const Answer& there) {
    if (!applies(difference)) {
        checkAnswer(file, line, what, got, windows);
        return;
    }
    noteCall(what);
    Record& r = record();
    ++r.checks;
    if (same(got, there)) {
        ++r.known;
        r.differences.insert(difference);
        std::printf("%s:%d: known difference %s: %s: %s, Windows %s\n", baseName(file), line, difference, what,
                    shown(got).c_str(), shown(windows).c_str());
        return;
    }
    ++r.failures;
    std::printf("%s:%d: failed: %s: %s, where %s applies %s (Windows %s)\n", baseName(file), line, what,
                shown(got).c_str(), difference, shown(there).c_str(), shown(windows).c_str());
}

void skipCase(const char* file, int line, const char* what, const char* reason) {
    ++record().skipped;
    std::printf("%s:%d: skipped: %s: %s\n", baseName(file), line, what, reason);
}

int report() {
    const Record& r = record();
    std::string names;
    for (const auto& d : r.differences) names += " " + d;
    std::printf("conformance on %s: %d checks of %d calls, %d failed, %d known differences, %d skipped\n",
                backendName(), r.checks, static_cast<int>(r.calls.size()), r.failures, r.known, r.skipped);
    std::printf("known differences met:%s\n", names.empty() ? " none" : names.c_str());
    std::fflush(stdout);
    return r.failures == 0 ? 0 : 1;
}

#ifdef _WIN32
void prepareMachine() {}
void finishMachine() {}
#endif

}  // namespace conformance
