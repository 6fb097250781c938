// The prefix tool's command line: commands separated by a lone "+", each
// run by its function (prefixtool.h says which file holds which).
#include "prefixtool.h"

#include <cstdio>
#include <cstring>

namespace {

struct Command {
    const char* name;
    CommandFunction run;
};

const Command Commands[] = {
    {"device-add", deviceAdd},
    {"device-remove", deviceRemove},
    {"devices-remove", devicesRemove},
    {"devices", devices},
    {"service-create", serviceCreate},
    {"service-query", serviceQuery},
    {"services", services},
    {"services-remove", servicesRemove},
    {"service-delete", serviceDelete},
    {"service-start", serviceStart},
    {"service-wait-gone", serviceWaitGone},
    {"service-stop-when-running", serviceStopWhenRunning},
    {"service-database", serviceDatabase},
    {"last-errors", lastErrors},
    {"reg-dump", regDump},
    {"reg-set", regSet},
    {"reg-create", regCreate},
    {"reg-dacl", regDacl},
    {"reg-security", regSecurity},
    {"reg-delete", regDelete},
    {"reg-delete-value", regDeleteValue},
    {"info", info},
    {"hold", hold},
    {"file-hold", fileHold},
};

int runCommand(const Args& words) {
    std::printf("== %s\n", words[0].c_str());
    for (const Command& c : Commands)
        if (words[0] == c.name) return c.run(Args(words.begin() + 1, words.end()));
    std::printf("error unknown-command 0\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "serve-early-stop") == 0) return serveEarlyStop();
    int rc = 0;
    Args words;
    for (int i = 1; i <= argc; ++i) {
        if (i == argc || std::strcmp(argv[i], "+") == 0) {
            if (!words.empty() && runCommand(words) != 0) rc = 1;
            std::fflush(stdout);
            words.clear();
        } else {
            words.push_back(argv[i]);
        }
    }
    return rc;
}
