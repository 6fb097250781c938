// Fuzzing of the language files: the input is written as the media's
// english.nls in a host folder that the machine sees as drive D:, and loaded.
// Every loaded entry must be a NUL-ended text whose conversions the callers
// can feed, and load and release must leave no handle or heap block behind.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "messages/messages.h"
#include "sim/machines/presets.h"
#include "sim/core/runtime.h"

static std::string folder;

static void makeFolder() {
    char pattern[] = "/tmp/catalogue_fuzz_XXXXXX";
    if (!::mkdtemp(pattern)) std::abort();
    folder = pattern;
    if (::mkdir((folder + "/nls").c_str(), 0700) != 0) std::abort();
    std::atexit([] {
        std::remove((folder + "/nls/english.nls").c_str());
        ::rmdir((folder + "/nls").c_str());
        ::rmdir(folder.c_str());
    });
}

// The conversions of a format, "%%" left out, each up to its conversion letter.
static std::string conversionsOf(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (*p != '%') continue;
        if (p[1] == '%') {
            ++p;
            continue;
        }
        const char* start = p++;
        while (*p && !std::strchr("diouxXeEfFgGaAcspnCS", *p)) ++p;
        out.append(start, *p ? p + 1 : p);
        out += '|';
        if (!*p) break;
    }
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (folder.empty()) makeFolder();
    FILE* f = std::fopen((folder + "/nls/english.nls").c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    static const sim::Machine machine = [] {
        sim::Machine m = sim::baseMachine(folder);
        m.drives["D"] = folder;
        return m;
    }();
    sim::resetForTest(machine);
    sim::recordCalls(false);

    // The media root as the flow derives it for D:\WIN2000\SETUP.EXE.
    Catalogue messages;
    if (messages.load("D:", LanguageEnglish).ok()) {
        if (!messages.loadedFromFile()) std::abort();
        for (int i = 0; i < MessageCount; ++i) {
            const char* text = messages.text(i);
            if (text == BuiltinMessages[i] || std::strcmp(text, "Unknown Message") == 0) continue;
            // A text of the file: inside it, with the built-in text's conversions.
            if (std::strlen(text) >= size) std::abort();
            if (conversionsOf(text) != conversionsOf(BuiltinMessages[i])) std::abort();
        }
        messages.release();
    }
    if (messages.loadedFromFile() || messages.text(0) != BuiltinMessages[0]) std::abort();
    if (sim::heapBlockCount() != 0 || sim::openHandleCount() != 0) std::abort();
    return 0;
}
