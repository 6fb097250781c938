// The guarded copy: one file copied over an existing one only after its
// version stamp has been checked, with a yes/no/cancel prompt when the file
// in place is newer.
#include "staging/guarded_copy.h"

#include <cstdio>
#include <cstring>

#include "base/path_buffer.h"
#include "messages/messages.h"
#include "platform/win_files.h"
#include "staging/version_stamp.h"

static const char* const* currentMessages() {
    return messageTable ? messageTable : BuiltinMessages;
}

const char* skipToGraphic(const char* text) {
    if (!text) return nullptr;
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x21 && c <= 0x7E) return p;
    }
    return nullptr;
}

// Whether the answer begins with the catalogue word, compared over the
// word's own length without regard to ASCII case. An empty or missing word
// (a damaged language file) matches nothing, so that it cannot swallow every
// answer.
static int answerMatches(const char* answer, const char* word) {
    if (!word || !*word) return 0;
    return _strnicmp(answer, word, std::strlen(word)) == 0;
}

int askConfirmation(const char* prompt, int quiet) {
    if (quiet) return ANSWER_YES;
    char line[1024];
    for (;;) {
        // The prompt may come from a language file: it is printed as text,
        // never used as a format.
        if (prompt) std::fputs(prompt, stdout);
        std::fflush(stdout);

        // Standard input at its end or unreadable: nobody can answer, so
        // the cautious answer is no and the installed file stays.
        if (!std::fgets(line, sizeof line, stdin)) return ANSWER_NO;
        char* lineFeed = std::strchr(line, '\n');
        if (lineFeed) {
            *lineFeed = '\0';
        } else {
            // A line longer than the buffer is consumed whole; only its
            // first 1023 characters are judged, and its rest is never taken
            // as the next answer.
            int c;
            while ((c = std::getchar()) != EOF && c != '\n') {
            }
        }

        const char* answer = skipToGraphic(line);
        if (!answer) continue;
        const char* const* table = currentMessages();
        if (answerMatches(answer, table[MsgAnswerCancel])) return ANSWER_CANCEL;
        if (answerMatches(answer, table[MsgAnswerYes])) return ANSWER_YES;
        if (answerMatches(answer, table[MsgAnswerNo])) return ANSWER_NO;
    }
}

// dir followed by name into a 520-byte path; 0 when it does not fit.
static int buildPath(char* path, size_t size, const char* dir, const char* name) {
    int n = std::snprintf(path, size, "%s%s", dir, name);
    return n >= 0 && static_cast<size_t>(n) < size;
}

Result copyFileGuarded(const char* sourceDir, const char* targetDir, const char* name, int quiet) {
    char sourcePath[PathBufferSize];
    char targetPath[PathBufferSize];
    // A path that does not fit is refused before anything is touched: a cut
    // path would name another file.
    if (!buildPath(sourcePath, sizeof sourcePath, sourceDir, name) ||
        !buildPath(targetPath, sizeof targetPath, targetDir, name))
        return Result::failure("building the path", ERROR_FILENAME_EXCED_RANGE, name);

    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(sourcePath, &found);
    if (search == INVALID_HANDLE_VALUE) return Result::failure("FindFirstFileA", GetLastError(), sourcePath);
    FindClose(search);

    // Clears a read-only, hidden or system attribute of an existing target;
    // fails harmlessly when there is none.
    SetFileAttributesA(targetPath, FILE_ATTRIBUTE_NORMAL);

    search = FindFirstFileA(targetPath, &found);
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
        if (compareFileVersions(sourcePath, targetPath) < 0) {
            std::fputs("\n", stdout);
            printMessage(MsgOlderThan, sourcePath, targetPath);
            // Message 54 takes no arguments; a translated text is copied as
            // it stands (cut to 255 characters), never used as a format.
            const char* text = currentMessages()[MsgCopyAnyway];
            char prompt[256];
            std::snprintf(prompt, sizeof prompt, "%s", text ? text : "");
            if (askConfirmation(prompt, quiet) == ANSWER_NO) return Result::success();
        }
    }

    if (!CopyFileA(sourcePath, targetPath, FALSE)) return Result::failure("CopyFileA", GetLastError(), targetPath);
    return Result::success();
}
