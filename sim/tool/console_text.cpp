// What a program wrote to its console, shown as text: the bytes are the
// machine's ANSI code page (932 on a Japanese machine, 1252 otherwise),
// decoded to UTF-8 for the terminal.
#include <iconv.h>

#include <cerrno>

#include "sim/tool/commands.h"

namespace winsim {

const char* consoleCodePage(uint16_t langId) {
    const uint16_t Japanese = 0x11;  // primary language of 0x0411
    return (langId & 0x3FF) == Japanese ? "CP932" : "CP1252";
}

std::string consoleText(const std::string& bytes, uint16_t langId) {
    iconv_t cd = iconv_open("UTF-8", consoleCodePage(langId));
    if (cd == reinterpret_cast<iconv_t>(-1)) return bytes;
    std::string out;
    char* in = const_cast<char*>(bytes.data());
    size_t left = bytes.size();
    char buffer[4096];
    while (left > 0) {
        char* to = buffer;
        size_t room = sizeof buffer;
        size_t rc = iconv(cd, &in, &left, &to, &room);
        out.append(buffer, static_cast<size_t>(to - buffer));
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            // A byte the code page does not define: shown as U+FFFD.
            out += "\xEF\xBF\xBD";
            ++in;
            --left;
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace winsim
