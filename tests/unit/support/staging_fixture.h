// Shared set-up of the staging tests: a fresh machine whose drive C: and
// media drive D: are host temp folders, the run values of a first phase, and
// answers fed to standard input from a temporary file.
#pragma once

#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "language_files.h"
#include "messages/messages.h"
#include "platform/win_files.h"
#include "sim/machines/presets.h"
#include "sim/core/runtime.h"
#include "setup/run_state.h"

namespace stagingtest {

inline std::string stamped(const std::string& version, const std::string& before = "MZ placeholder\r\n",
                           const std::string& after = "\r\n") {
    return before + "!@#$" + version + "$#@!" + after;
}

// Puts lines on standard input for the length of a scope.
class StdinFeed {
public:
    explicit StdinFeed(const std::string& text) {
        char name[] = "/tmp/staging-stdin-XXXXXX";
        int fd = ::mkstemp(name);
        path_ = name;
        if (fd >= 0) {
            (void)!::write(fd, text.data(), text.size());
            ::lseek(fd, 0, SEEK_SET);
        }
        saved_ = ::dup(0);
        __fpurge(stdin);
        ::dup2(fd, 0);
        ::close(fd);
        std::clearerr(stdin);
    }
    // What was left unread on standard input.
    std::string rest() {
        std::string out;
        int c;
        while ((c = std::getchar()) != EOF) out += static_cast<char>(c);
        return out;
    }
    ~StdinFeed() {
        __fpurge(stdin);
        ::dup2(saved_, 0);
        ::close(saved_);
        std::clearerr(stdin);
        std::remove(path_.c_str());
    }

private:
    std::string path_;
    int saved_ = -1;
};

class StagingTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/staging-test-XXXXXX";
        root_ = ::mkdtemp(name);
        std::filesystem::create_directories(root_ + "/C/WINNT/system32/drivers");
        std::filesystem::create_directories(root_ + "/media/win2000");
        std::filesystem::create_directories(root_ + "/media/nt");
        std::filesystem::create_directories(root_ + "/media/nls");
        machine_ = sim::baseMachine(root_ + "/media");
        machine_.drives["C"] = root_ + "/C";
        sim::resetForTest(machine_);
        run = RunState{};
        std::snprintf(run.directories.source, sizeof run.directories.source, "D:");
        std::snprintf(run.directories.system, sizeof run.directories.system, "C:\\WINNT\\system32");
        std::snprintf(run.directories.staging, sizeof run.directories.staging, "C:\\WINNT\\system32\\drivers\\korpa");
    }
    void TearDown() override {
        run = RunState{};
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    // Host path of a Windows path on C: or D: ("C:\\WINNT" -> <root>/C/WINNT).
    std::string host(const std::string& windowsPath) const {
        std::string rest = windowsPath.substr(2);
        for (char& c : rest)
            if (c == '\\') c = '/';
        return root_ + (windowsPath[0] == 'D' ? "/media" : "/C") + rest;
    }
    void write(const std::string& windowsPath, const std::string& data) const {
        std::filesystem::path p = host(windowsPath);
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << data;
    }
    std::string read(const std::string& windowsPath) const {
        std::ifstream in(host(windowsPath), std::ios::binary);
        if (!in) return "<missing>";
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool exists(const std::string& windowsPath) const { return std::filesystem::exists(host(windowsPath)); }

    // The run's catalogue from the media's English language file: the
    // built-in texts with the given ones in their places.
    void loadTranslation(const std::map<int, std::string>& texts) {
        std::vector<std::string> all = languagefiles::builtinTexts();
        for (const auto& t : texts) all[t.first] = t.second;
        write("D:\\nls\\english.nls", languagefiles::languageFile(MessageCount, all));
        ASSERT_TRUE(run.messages.load("D:", LanguageEnglish).ok());
    }

    void expectNoLeaks() const {
        EXPECT_EQ(sim::openHandleCount(), 0u);
        EXPECT_EQ(sim::heapBlockCount(), 0u);
    }

    std::string root_;
    sim::Machine machine_;
    RunState run = {};
};

}  // namespace stagingtest
