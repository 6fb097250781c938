// Language files as the media holds them, for the tests that load a
// catalogue from one.
#pragma once

#include <string>
#include <vector>

#include "messages/messages.h"

namespace languagefiles {

// A file of the count byte and the texts, each with its NUL.
inline std::string languageFile(int count, const std::vector<std::string>& texts) {
    std::string data(1, static_cast<char>(count));
    for (const std::string& t : texts) data += t + std::string(1, '\0');
    return data;
}

// The 80 built-in texts as a file holds them: text mode reads CR CR LF as
// CR LF.
inline std::vector<std::string> builtinTexts() {
    std::vector<std::string> texts;
    for (int i = 0; i < MessageCount; ++i) {
        std::string text = BuiltinMessages[i];
        for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 3))
            text.insert(at, "\r");
        texts.push_back(text);
    }
    return texts;
}

}  // namespace languagefiles
