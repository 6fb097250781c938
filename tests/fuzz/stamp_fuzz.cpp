// Fuzzes the version stamp reader: the input is split into a source and a
// target file on a simulated machine, their stamps are compared, and the
// result is checked against a plain reference reading of the stamp format.
// The search itself is checked against std::string_view::find.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "sim/machines/presets.h"
#include "sim/core/runtime.h"
#include "staging/version_stamp.h"

namespace {

std::string folder;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "stamp_fuzz: %s\n", what);
        std::abort();
    }
}

// The stamp's digits without leading zeros, or false without a stamp.
bool referenceDigits(std::string_view file, std::string& digits) {
    std::string_view bytes = file.substr(0, 100000);
    size_t start = bytes.find("!@#$");
    if (start == std::string_view::npos) return false;
    size_t text = start + 4;
    size_t nul = bytes.find('\0', text);
    if (nul == std::string_view::npos) nul = bytes.size();
    size_t end = bytes.find("$#@!", text);
    std::string_view version;
    if (end != std::string_view::npos && end < nul) version = bytes.substr(text, end - text);
    if (version.size() > 255) version = version.substr(0, 255);
    digits.clear();
    for (char c : version)
        if (c >= '0' && c <= '9' && !(digits.empty() && c == '0')) digits += c;
    return true;
}

int referenceCompare(std::string_view source, std::string_view target) {
    std::string s, t;
    if (target.empty() || !referenceDigits(target, t)) return 1;
    if (source.empty() || !referenceDigits(source, s)) return 1;
    if (s.size() != t.size()) return s.size() < t.size() ? -1 : 1;
    int c = s.compare(t);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

void writeFile(const std::string& path, std::string_view data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Memory-backed when the host has it: the files are written per input.
    std::string name = std::filesystem::is_directory("/dev/shm") ? "/dev/shm/stamp-fuzz-XXXXXX"
                                                                 : "/tmp/stamp-fuzz-XXXXXX";
    check(::mkdtemp(name.data()) != nullptr, "no temp folder");
    folder = name;
    std::filesystem::create_directories(folder + "/C");
    sim::Machine m = sim::baseMachine(folder + "/media");
    m.drives["C"] = folder + "/C";
    sim::useMachine(m);
    sim::recordCalls(false);
    std::atexit([] { std::filesystem::remove_all(folder); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);
    size_t split = (static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8) % (input.size() + 1);
    std::string_view source = input.substr(0, split);
    std::string_view target = input.substr(split);
    writeFile(folder + "/C/src.bin", source);
    writeFile(folder + "/C/tgt.bin", target);

    static const Catalogue messages;
    int result = compareFileVersions(messages, "C:\\src.bin", "C:\\tgt.bin");
    check(result == referenceCompare(source, target), "result differs from the reference");
    check(sim::heapBlockCount() == 0, "heap block left");
    check(sim::openHandleCount() == 0, "handle left");

    // The search on its own: a short pattern (up to its first NUL) from the
    // source's first bytes, looked for in the target.
    std::string pattern(source.substr(0, data[0] % 6));
    pattern = pattern.substr(0, pattern.find('\0'));
    int length = static_cast<int>(target.size());
    const char* found = findPattern(pattern.c_str(), target.data(), length);
    size_t at = target.find(pattern);
    if (pattern.empty())
        check(found == target.data(), "empty pattern not at the start");
    else if (at == std::string_view::npos)
        check(found == nullptr, "pattern found where there is none");
    else
        check(found == target.data() + at, "not the leftmost occurrence");
    return 0;
}
