// Language selection and the language files on the media: a count byte
// followed by NUL-ended texts in catalogue order, read in text mode.
#include <cstdio>
#include <cstring>

#include "messages/messages.h"
#include "platform/owned.h"
#include "platform/win_base.h"
#include "platform/win_files.h"

// Language index to file slot, and the files of the "\nls\" directory.
static const int LanguageSlot[5] = {1, 2, 3, 4, 0};
static const char* const LanguageFiles[5] = {
    "\\nls\\english.nls", "\\nls\\french.nls", "\\nls\\german.nls", "\\nls\\spanish.nls",
    "\\nls\\japanese.nls",
};

static const char UnknownMessage[] = "Unknown Message";

// The text block of the catalogue loaded last, and its array: release needs
// the block, which no entry of the array is sure to point at.
static char* loadedText;
static const char** loadedTable;

int selectLanguage() {
    switch (GetSystemDefaultLangID()) {
    case 0x0407:
    case 0x0807:
    case 0x0C07:
        return 1;
    case 0x040A:
    case 0x080A:
    case 0x0C0A:
        return 2;
    case 0x040B:  // Finnish, kept in the French group
    case 0x040C:
    case 0x080C:
    case 0x0C0C:
    case 0x100C:
        return 0;
    case 0x0411:
        return 3;
    default:
        return 4;
    }
}

// The next conversion of a printf format from *p on, "%%"
// skipped: its start in *spec and its length (0 when there is none left).
// A conversion runs from '%' through its conversion letter; an
// unfinished one runs to the end of the text.
static size_t nextConversion(const char*& p, const char*& spec) {
    static const char ConversionLetters[] = "diouxXeEfFgGaAcspnCS";
    while (*p) {
        if (*p != '%') {
            ++p;
            continue;
        }
        if (p[1] == '%') {
            p += 2;
            continue;
        }
        spec = p++;
        while (*p && !std::strchr(ConversionLetters, *p)) ++p;
        if (*p) ++p;
        return static_cast<size_t>(p - spec);
    }
    return 0;
}

// 1 when `text` has exactly the conversions of `expected`, in
// the same order, and no %n: only then may it stand in for `expected` as a
// printf format with the arguments that the callers pass.
static int sameConversions(const char* expected, const char* text) {
    const char* e = expected;
    const char* t = text;
    for (;;) {
        const char* es = nullptr;
        const char* ts = nullptr;
        size_t el = nextConversion(e, es);
        size_t tl = nextConversion(t, ts);
        if (el == 0 || tl == 0) return el == tl;
        if (el != tl || std::memcmp(es, ts, el) != 0 || ts[tl - 1] == 'n') return 0;
    }
}

int loadCatalogue(const char* sourceDir, const char*** table, int capacity, int language) {
    if (language < 0 || language >= 5 || capacity < 1) return -1;

    char path[256];
    int length = std::snprintf(path, sizeof path, "%s%s", sourceDir, LanguageFiles[LanguageSlot[language]]);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) return -1;  // would not fit

    // Declared in the reverse of the order of their release.
    FileDescriptor file(_sopen(path, _O_RDONLY | _O_TEXT, _SH_DENYNO));
    LocalBlock arrayBlock;
    LocalBlock textBlock;
    if (!file) return -1;
    int fd = file.get();

    long size = _filelength(fd);
    if (size < 0 || size > 0x7FFFFFFFL - 20) return -1;
    textBlock.reset(LocalAlloc(LMEM_FIXED, static_cast<SIZE_T>(size) + 20));
    char* text = static_cast<char*>(textBlock.get());

    unsigned char countByte = 0;
    if (_read(fd, &countByte, 1) < 0) return -1;
    int count = static_cast<signed char>(countByte);

    int entries = count > capacity ? count : capacity;
    arrayBlock.reset(LocalAlloc(LMEM_FIXED, static_cast<SIZE_T>(entries) * sizeof(const char*)));
    const char** array = static_cast<const char**>(arrayBlock.get());
    if (!text || !array) {
        std::printf("failed to allocate memory\n\r");
        std::fflush(stdout);
        return -1;
    }

    // Text mode delivers at most size - 1 bytes here: the count byte is gone
    // and every CR LF pair shrinks to LF.
    int got = _read(fd, text, static_cast<unsigned int>(size));
    file.reset();
    if (got < 0) return -1;
    text[got] = '\0';  // a last text without its NUL ends at the end of the data

    int taken = 0;
    int position = 0;
    while (taken < count && position < got) {
        array[taken++] = text + position;
        position += static_cast<int>(std::strlen(text + position)) + 1;
    }
    for (int i = taken; i < entries; ++i) array[i] = UnknownMessage;

    // Every message is printed with its text as the format: a text whose
    // conversions differ from the built-in text's would read arguments that
    // are not there.
    for (int i = 0; i < taken && i < MESSAGE_COUNT; ++i) {
        if (!sameConversions(BuiltinMessages[i], array[i])) array[i] = BuiltinMessages[i];
    }

    loadedText = static_cast<char*>(textBlock.release());
    loadedTable = static_cast<const char**>(arrayBlock.release());
    *table = array;
    return 0;
}

void releaseCatalogue(const char*** table) {
    // Only a catalogue that the load made: the built-in one is never released.
    if (!table || !*table || *table != loadedTable) return;
    LocalFree(loadedText);
    LocalFree(loadedTable);
    loadedText = nullptr;
    loadedTable = nullptr;
    *table = BuiltinMessages;
}
