// The guarded copy: one file copied over an existing one only after its
// version stamp has been checked, with a yes/no/cancel prompt when the file
// in place is newer.
#include "staging/guarded_copy.h"

#include <cstdio>
#include <cstring>

#include "base/path_buffer.h"
#include "platform/owned.h"
#include "platform/win_files.h"
#include "staging/version_stamp.h"

namespace {

// Room for one answer line and its terminator.
const size_t AnswerLineSize = 1024;

// Room for the formatted prompt and its terminator; a longer translation is
// cut.
const size_t PromptSize = 256;

// Whether the answer begins with the catalogue word, compared over the
// word's own length without regard to ASCII case. An empty word (a damaged
// language file) matches nothing, so that it cannot swallow every answer.
bool answerMatches(const char* answer, const char* word) {
    if (!*word) return false;
    return _strnicmp(answer, word, std::strlen(word)) == 0;
}

// Whether a file is there, by a search that is closed at once.
bool fileFound(const char* path, DWORD* error = nullptr) {
    WIN32_FIND_DATAA found;
    FindHandle search(FindFirstFileA(path, &found));
    if (!search && error) *error = GetLastError();
    return static_cast<bool>(search);
}

}  // namespace

const char* skipToGraphic(const char* text) {
    if (!text) return nullptr;
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= '!' && c <= '~') return p;
    }
    return nullptr;
}

Answer askConfirmation(const Catalogue& messages, const char* prompt, bool quiet) {
    if (quiet) return AnswerYes;
    char line[AnswerLineSize];
    for (;;) {
        // The prompt is formatted already: it is printed as it stands.
        std::fputs(prompt, stdout);
        std::fflush(stdout);

        // Standard input at its end or unreadable: nobody can answer, so
        // the cautious answer is no and the installed file stays.
        if (!std::fgets(line, sizeof line, stdin)) return AnswerNo;
        char* lineFeed = std::strchr(line, '\n');
        if (lineFeed) {
            *lineFeed = '\0';
        } else {
            // The rest of a line longer than the buffer is consumed, so that
            // it is never taken as the next answer.
            int c;
            while ((c = std::getchar()) != EOF && c != '\n') {
            }
        }

        const char* answer = skipToGraphic(line);
        if (!answer) continue;
        if (answerMatches(answer, messages.text(MsgAnswerCancel))) return AnswerCancel;
        if (answerMatches(answer, messages.text(MsgAnswerYes))) return AnswerYes;
        if (answerMatches(answer, messages.text(MsgAnswerNo))) return AnswerNo;
    }
}

Result copyFileGuarded(const Catalogue& messages, const char* sourceDir, const char* targetDir, const char* name,
                       bool quiet) {
    char sourcePath[PathBufferSize];
    char targetPath[PathBufferSize];
    if (!joinPath(sourcePath, sourceDir, name) || !joinPath(targetPath, targetDir, name))
        return Result::failure("building the path", ERROR_FILENAME_EXCED_RANGE, name);

    DWORD searchError = ERROR_SUCCESS;
    if (!fileFound(sourcePath, &searchError)) return Result::failure("FindFirstFileA", searchError, sourcePath);

    // Clears a read-only, hidden or system attribute of an existing target,
    // whether or not the copy then takes place; fails harmlessly when there
    // is none.
    SetFileAttributesA(targetPath, FILE_ATTRIBUTE_NORMAL);

    if (fileFound(targetPath) && compareFileVersions(messages, sourcePath, targetPath) == SourceOlder) {
        std::fputs("\n", stdout);
        messages.print(MsgOlderThan, sourcePath, targetPath);
        // Message 54 takes no arguments: a translated text holds no
        // conversion either (the catalogue keeps the built-in text
        // otherwise), and "%%" in it prints one percent sign.
        char prompt[PromptSize];
        messages.format(prompt, sizeof prompt, MsgCopyAnyway);
        if (askConfirmation(messages, prompt, quiet) == AnswerNo) return Result::success();
    }

    if (!CopyFileA(sourcePath, targetPath, FALSE)) return Result::failure("CopyFileA", GetLastError(), targetPath);
    return Result::success();
}
