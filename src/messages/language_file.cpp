// Language selection and the language files on the media: a count byte
// followed by NUL-ended texts in catalogue order, read in text mode.
#include <cstdio>
#include <cstring>
#include <utility>

#include "messages/messages.h"
#include "platform/owned.h"
#include "platform/win_base.h"
#include "platform/win_files.h"

namespace {

// The files of the "\nls\" directory, by language.
const char* const LanguageFiles[LanguageCount] = {
    "\\nls\\french.nls", "\\nls\\german.nls", "\\nls\\spanish.nls", "\\nls\\japanese.nls", "\\nls\\english.nls",
};

// The language file's path is built in a buffer of this size; a longer one
// loads nothing.
const size_t LanguagePathSize = 256;

// The text block holds the file's data, the terminator of a last text that
// lacks one, and room to spare.
const long TextBlockSpare = 20;
// The file's data is read in one call, whose count is a 32-bit signed size.
const long LargestLanguageFile = 0x7FFFFFFFL - TextBlockSpare;

const char UnknownMessage[] = "Unknown Message";

// System language identifiers that have a language file of their own.
const LANGID GermanGermany = 0x0407, GermanSwitzerland = 0x0807, GermanAustria = 0x0C07;
const LANGID SpanishTraditional = 0x040A, SpanishMexico = 0x080A, SpanishModern = 0x0C0A;
const LANGID FrenchFrance = 0x040C, FrenchBelgium = 0x080C, FrenchCanada = 0x0C0C, FrenchSwitzerland = 0x100C;
const LANGID JapaneseJapan = 0x0411;
// Finnish, which has always read the French file.
const LANGID FinnishFinland = 0x040B;

// The next conversion of a printf format from *p on, "%%" skipped: its
// start in *spec and its length (0 when there is none left). A conversion
// runs from '%' through its conversion letter; an unfinished one runs to the
// end of the text.
size_t nextConversion(const char*& p, const char*& spec) {
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

// Whether `text` has exactly the conversions of `expected`, in the same
// order, and no %n: only then may it stand in for `expected` as a printf
// format with the arguments that the callers pass.
bool sameConversions(const char* expected, const char* text) {
    const char* e = expected;
    const char* t = text;
    for (;;) {
        const char* es = nullptr;
        const char* ts = nullptr;
        size_t el = nextConversion(e, es);
        size_t tl = nextConversion(t, ts);
        if (el == 0 || tl == 0) return el == tl;
        if (el != tl || std::memcmp(es, ts, el) != 0 || ts[tl - 1] == 'n') return false;
    }
}

}  // namespace

Language selectLanguage() {
    switch (GetSystemDefaultLangID()) {
    case GermanGermany:
    case GermanSwitzerland:
    case GermanAustria:
        return LanguageGerman;
    case SpanishTraditional:
    case SpanishMexico:
    case SpanishModern:
        return LanguageSpanish;
    case FinnishFinland:
    case FrenchFrance:
    case FrenchBelgium:
    case FrenchCanada:
    case FrenchSwitzerland:
        return LanguageFrench;
    case JapaneseJapan:
        return LanguageJapanese;
    default:
        return LanguageEnglish;
    }
}

Result Catalogue::load(const char* sourceDir, Language language) {
    if (language < 0 || language >= LanguageCount)
        return Result::failure("choosing the language file", ERROR_INVALID_PARAMETER);

    char path[LanguagePathSize];
    if (!joinPath(path, sourceDir, LanguageFiles[language]))
        return Result::failure("building the language file's path", ERROR_FILENAME_EXCED_RANGE, sourceDir);

    // Declared in the reverse of the order of their release.
    FileDescriptor file(_sopen(path, _O_RDONLY | _O_TEXT, _SH_DENYNO));
    LocalBlock arrayBlock;
    LocalBlock textBlock;
    if (!file) return Result::failure("_sopen", GetLastError(), path);
    int fd = file.get();

    long size = _filelength(fd);
    if (size < 0 || size > LargestLanguageFile) return Result::failure("_filelength", GetLastError(), path);
    textBlock.reset(LocalAlloc(LMEM_FIXED, static_cast<SIZE_T>(size + TextBlockSpare)));
    char* text = static_cast<char*>(textBlock.get());

    unsigned char countByte = 0;
    if (_read(fd, &countByte, 1) < 0) return Result::failure("_read", GetLastError(), path);
    int count = static_cast<signed char>(countByte);

    int entries = count > MessageCount ? count : MessageCount;
    arrayBlock.reset(LocalAlloc(LMEM_FIXED, static_cast<SIZE_T>(entries) * sizeof(const char*)));
    const char** array = static_cast<const char**>(arrayBlock.get());
    if (!text || !array) {
        std::printf("failed to allocate memory\n\r");
        std::fflush(stdout);
        return Result::failure("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, path);
    }

    // Text mode delivers at most size - 1 bytes here: the count byte is gone
    // and every CR LF pair shrinks to LF.
    int got = _read(fd, text, static_cast<unsigned int>(size));
    file.reset();
    if (got < 0) return Result::failure("_read", GetLastError(), path);
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
    for (int i = 0; i < taken && i < MessageCount; ++i) {
        if (!sameConversions(BuiltinMessages[i], array[i])) array[i] = BuiltinMessages[i];
    }

    release();
    table_ = array;
    array_ = std::move(arrayBlock);
    text_ = std::move(textBlock);
    return Result::success();
}
