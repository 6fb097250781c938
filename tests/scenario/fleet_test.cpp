// winsim fleet on small fleets: captures made from seeds and a handful of
// damaged ones, each server's class against what the outcome oracle's
// journey says of the same machine; the report in a real browser; shards
// through GNU parallel and an interrupted run that goes on, each against
// one whole run, byte for byte; rehearsals that hang or crash.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "harness.h"
#include "journey.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Fewer machines under the sanitizers, where each run costs several times
// as much.
#if defined(__SANITIZE_ADDRESS__)
const uint64_t Generated = 4;
const uint64_t Small = 4;      // the fleets of the shard and resume tests
const uint64_t Several = 8;    // the report's fleet: seeds of four classes
const int TimeLimit = 25;      // seconds a rehearsal may take in the hang test
#else
const uint64_t Generated = 32;
const uint64_t Small = 10;
const uint64_t Several = 12;
const int TimeLimit = 6;
#endif
const uint64_t FirstSeed = 1;

std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A shell command's exit status and output (both streams).
struct Shell {
    int status = -1;
    std::string output;
};
Shell shell(const std::string& command) {
    Shell r;
    std::string out = std::string(SCENARIO_WORK_DIR) + "/fleet-shell-" + std::to_string(getpid()) + "-" +
                      std::to_string(std::hash<std::string>()(command)) + ".txt";
    int status = std::system((command + " > " + quote(out) + " 2>&1").c_str());
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.output = scenario::readFile(out);
    fs::remove(out);
    return r;
}

std::string winsim(const std::string& args) { return quote(WINSIM_BINARY) + " " + args; }

// A fresh folder for this test.
std::string folder(const std::string& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    fs::path p = fs::path(SCENARIO_WORK_DIR) / (std::string(info->test_suite_name()) + "." + info->name()) / name;
    fs::remove_all(p);
    fs::create_directories(p);
    return p.string();
}

std::vector<json> records(const std::string& out) {
    std::vector<json> r;
    std::ifstream in(fs::path(out) / "servers.jsonl");
    for (std::string line; std::getline(in, line);) r.push_back(json::parse(line));
    return r;
}

// Every file and folder below a folder with a hash of its content.
std::map<std::string, std::string> listing(const std::string& root) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
        std::string rel = it->path().lexically_relative(root).string();
        if (it->is_symlink()) out[rel] = "link " + fs::read_symlink(it->path()).string();
        else if (it->is_directory()) out[rel] = "folder";
        else out[rel] = std::to_string(std::hash<std::string>()(scenario::readFile(it->path().string())));
    }
    return out;
}

void writeText(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

// The class the oracle's journey gives a machine from a seed, with the
// first run's exit code.
struct Expected {
    std::string outcome;
    int exitCode = -1;
    std::string problems;
};
std::map<uint64_t, Expected> journeys(uint64_t first, uint64_t count) {
    std::map<uint64_t, Expected> out;
    std::mutex guard;
    std::vector<std::thread> workers;
    std::atomic<uint64_t> next{first};
    for (int w = 0; w < 2; ++w)
        workers.emplace_back([&, w] {
            for (uint64_t seed; (seed = next++) < first + count;) {
                journey::Scenario s{"", seed, journey::Way::Unattended};
                scenario::Machine machine(scenario::Machine::Seed{seed}, ".journey" + std::to_string(w));
                journey::Journey j(s, machine);
                j.go();
                Expected e;
                e.exitCode = j.firstExitCode;
                for (const auto& p : j.problems) e.problems += p + "\n";
                e.outcome = !e.problems.empty()                       ? "?"
                            : j.firstExitCode == 2 || j.firstExitCode == 8 ? "failed"
                            : j.restarts == 0                          ? "complete"
                            : j.restarts == 1                          ? "one-restart"
                                                                       : "restarts";
                std::lock_guard<std::mutex> g(guard);
                out[seed] = e;
            }
        });
    for (auto& t : workers) t.join();
    return out;
}

std::map<std::string, size_t> countsByClass(const std::vector<json>& recs) {
    std::map<std::string, size_t> n;
    for (const auto& r : recs) ++n[r["outcome"].get<std::string>()];
    return n;
}

TEST(Fleet, EachServersClassIsTheOracleJourneysAndBadCapturesAreRefusedWithTheirReason) {
    std::string source = folder("captures"), out = folder("out");
    // Captures made from seeds, as the snapshot program lays them out: one
    // folder per server, machine.json and files/.
    for (uint64_t seed = FirstSeed; seed < FirstSeed + Generated; ++seed) {
        std::string m = folder("made-" + std::to_string(seed));
        ASSERT_EQ(shell(winsim("create " + quote(m) + " --force --random " + std::to_string(seed))).status, 0);
        fs::path to = fs::path(source) / (seed % 2 ? "site-a" : "site-b") / ("server-" + std::to_string(seed));
        fs::create_directories(to);
        fs::copy(fs::path(m) / "random" / "machine.json", to / "machine.json");
        fs::copy(fs::path(m) / "random" / "files", to / "files", fs::copy_options::recursive);
        fs::remove_all(m);
    }
    // A capture by the snapshot program itself, of a machine with earlier
    // software.
    std::string captured = folder("captured");
    ASSERT_EQ(shell(winsim("create " + quote(captured) + " --force --preset earlier-software")).status, 0);
    ASSERT_EQ(shell(winsim("run " + quote(captured) + " -- 'D:\\tools\\SNAPSHOT.EXE C:\\capture'")).status, 0);
    fs::create_directories(fs::path(source) / "site-c");
    fs::copy(captured + "/drives/C/capture", fs::path(source) / "site-c" / "snapshot", fs::copy_options::recursive);
    // Damaged captures, each with the reason it must be refused for.
    fs::path bad = fs::path(source) / "bad";
    std::string good = scenario::readFile(source + "/site-a/server-1/machine.json");
    writeText(bad / "cut-short/machine.json", good.substr(0, good.size() / 2));
    writeText(bad / "twice/machine.json", R"({"defaultLangId": "0x0409", "defaultLangId": "0x0407"})");
    writeText(bad / "unknown-field/machine.json", R"({"devices": [{"instanceId": "PCI\\X\\1", "hardwareId": ["x"]}]})");
    writeText(bad / "wrong-type/machine.json", R"({"devices": [{"instanceId": "PCI\\X\\1", "present": "yes"}]})");
    writeText(bad / "outside/machine.json", R"({"files": {"C:\\WINNT\\system32\\qrvx.dll": "files/x"}})");
    fs::create_directories(bad / "outside/files");
    fs::create_symlink("/etc/hostname", bad / "outside/files/x");
    writeText(bad / "no-copy/machine.json", R"({"files": {"C:\\WINNT\\system32\\qrvx.dll": "files/qrvx.dll"}})");
    fs::create_directories(bad / "no-copy/files");
    fs::copy(fs::path(source) / "site-a/server-3", bad / "server-3", fs::copy_options::recursive);
    const std::map<std::string, std::string> refused = {
        {"bad/cut-short", "not valid JSON"},
        {"bad/twice", "gives the field \"defaultLangId\" twice"},
        {"bad/unknown-field", "unknown field \"hardwareId\""},
        {"bad/wrong-type", "\"present\" must be true or false"},
        {"bad/outside", "symbolic link that leaves the capture folder"},
        {"bad/no-copy", "files/qrvx.dll, the copy of C:\\WINNT\\system32\\qrvx.dll, is missing"},
        {"bad/server-3", "2 captures of the server server-3"},
        {"site-a/server-3", "2 captures of the server server-3"},
    };
    auto before = listing(source);

    Shell run = shell(winsim("fleet " + quote(source) + " --out " + quote(out) + " --jobs 2"));
    std::map<uint64_t, Expected> expected = journeys(FirstSeed, Generated);

    EXPECT_EQ(listing(source), before) << "the fleet wrote below SOURCE";
    std::vector<json> recs = records(out);
    ASSERT_EQ(recs.size(), Generated + 8) << run.output;
    std::vector<std::string> sources;
    bool allComplete = true;
    for (size_t i = 0; i < recs.size(); ++i) {
        const json& r = recs[i];
        EXPECT_EQ(r["schema"], 1);
        EXPECT_EQ(r["index"], i);
        EXPECT_EQ(r["fleetSize"], recs.size());
        std::string src = r["source"], outcome = r["outcome"];
        sources.push_back(src);
        allComplete = allComplete && (outcome == "complete" || outcome == "one-restart" || outcome == "restarts");
        if (refused.count(src)) {
            EXPECT_EQ(outcome, "unreadable") << src;
            EXPECT_NE(r["reason"].get<std::string>().find(refused.at(src)), std::string::npos) << src << ": " << r["reason"];
            continue;
        }
        if (src == "site-c/snapshot") {
            EXPECT_EQ(outcome, "one-restart") << r["reason"];
            continue;
        }
        uint64_t seed = std::stoull(src.substr(src.find("server-") + 7));
        const Expected& e = expected.at(seed);
        ASSERT_TRUE(e.problems.empty()) << "seed " << seed << ": the journey itself disagrees:\n" << e.problems;
        EXPECT_EQ(outcome, e.outcome) << src << ": " << r["reason"];
        EXPECT_EQ(r["exitCode"], e.exitCode) << src;
        EXPECT_EQ(r["server"], "server-" + std::to_string(seed));
        for (const auto& run : r["runs"]) EXPECT_TRUE(run["agrees"].get<bool>()) << src << ": " << run.dump();
    }
    EXPECT_TRUE(std::is_sorted(sources.begin(), sources.end()));
    EXPECT_EQ(run.status, allComplete ? 0 : 1) << run.output;

    // The recap: the counts of the records, printed and in summary.txt.
    std::string summary = scenario::readFile(out + "/summary.txt");
    EXPECT_NE(run.output.find(summary), std::string::npos) << run.output;
    auto counts = countsByClass(recs);
    for (const auto& [label, id] : std::map<std::string, std::string>{{"complete, no restart", "complete"},
                                                                       {"complete after one restart", "one-restart"},
                                                                       {"failed (exit code 2 or 8)", "failed"},
                                                                       {"capture unreadable", "unreadable"}}) {
        size_t at = summary.find("\n" + label);
        ASSERT_NE(at, std::string::npos) << label;
        EXPECT_EQ(std::stoul(summary.substr(at + 1 + label.size())), counts[id]) << label;
    }
    EXPECT_TRUE(fs::exists(out + "/report.html"));
    EXPECT_FALSE(fs::exists(out + "/.fleet-run")) << "the run's journal and scratch machines stay behind";
}

TEST(Fleet, ExitStatusTwoWhenTheCommandCannotRunAndZeroWhenEveryServerCompletes) {
    std::string base = folder("x"), empty = folder("empty");
    EXPECT_EQ(shell(winsim("fleet --random 1..2")).status, 2);                                    // no --out
    EXPECT_EQ(shell(winsim("fleet --random 1..2 --out " + quote(base) + " --shard 5/4")).status, 2);
    EXPECT_EQ(shell(winsim("fleet --random 2..1 --out " + quote(base))).status, 2);
    EXPECT_EQ(shell(winsim("fleet --random 1..2 --out " + quote(base) + " --jobs 0")).status, 2);
    EXPECT_EQ(shell(winsim("fleet " + quote(empty) + " --out " + quote(base))).status, 2);       // no capture
    EXPECT_EQ(shell(winsim("fleet " + quote(base + "/none") + " --out " + quote(base))).status, 2);
    writeText(fs::path(base) / "ro/file", "");
    EXPECT_EQ(shell(winsim("fleet --random 1..2 --out " + quote(base + "/ro/file/out"))).status, 2);
    // Seeds 1 to 3 complete (with and without a restart).
    Shell ok = shell(winsim("fleet --random 1..3 --jobs 2 --out " + quote(base + "/ok")));
    std::vector<json> recs = records(base + "/ok");
    ASSERT_EQ(recs.size(), 3u) << ok.output;
    for (const auto& r : recs) EXPECT_NE(r["outcome"], "failed");
    EXPECT_EQ(ok.status, 0) << ok.output;
}

// The report as a browser shows it: the classes' counts are those of the
// records, and an address that names a class shows exactly its servers.
TEST(Fleet, ReportInABrowserCountsTheRecordsAndFiltersByClass) {
    const char* chromium = "/usr/bin/chromium";
    if (access(chromium, X_OK) != 0) GTEST_SKIP() << "no browser: install the Debian package chromium";
#if defined(__SANITIZE_ADDRESS__)
    // The page is the plain build's, byte for byte, and the other tests run
    // winsim fleet under the sanitizers: here the browser would only add
    // its own minute.
    GTEST_SKIP() << "the report's page is checked in the plain build";
#endif
    std::string out = folder("out");
    shell(winsim("fleet --random 1.." + std::to_string(Several) + " --jobs 2 --out " + quote(out)));
    std::vector<json> recs = records(out);
    ASSERT_EQ(recs.size(), Several);
    auto counts = countsByClass(recs);
    ASSERT_GE(counts.size(), 3u) << "a fleet of several classes";

    auto dom = [&](const std::string& fragment) {
        std::string profile = folder("profile" + fragment.substr(fragment.find('=') + 1));
        Shell r = shell(std::string(chromium) +
                        " --headless --no-sandbox --disable-gpu --disable-background-networking "
                        "--disable-component-update --disable-sync --no-first-run --user-data-dir=" +
                        quote(profile) + " --dump-dom " + quote("file://" + out + "/report.html" + fragment) +
                        " 2> /dev/null");
        EXPECT_EQ(r.status, 0);
        return r.output;
    };
    // The server rows the page shows: index -> class.
    auto shown = [](const std::string& page) {
        std::map<size_t, std::string> rows;
        for (size_t at = 0; (at = page.find("<tr class=\"server\"", at)) != std::string::npos; ++at) {
            std::string tag = page.substr(at, page.find('>', at) - at);
            if (tag.find(" hidden") != std::string::npos) continue;
            auto attribute = [&](const std::string& name) {
                size_t from = tag.find(name + "=\"") + name.size() + 2;
                return tag.substr(from, tag.find('"', from) - from);
            };
            rows[std::stoul(attribute("data-index"))] = attribute("data-class");
        }
        return rows;
    };
    // The count the filters' bar shows beside a class.
    auto countShown = [](const std::string& page, const std::string& cls) {
        size_t at = page.find("data-class=\"" + cls + "\"", page.find("<nav id=\"filters\">"));
        if (at == std::string::npos) return std::string("(none)");
        at = page.find("<span class=\"count\">", at) + 20;
        return page.substr(at, page.find('<', at) - at);
    };

    std::string all = dom("");
    EXPECT_EQ(shown(all).size(), recs.size());
    EXPECT_EQ(countShown(all, ""), std::to_string(recs.size()));
    for (const char* cls : {"complete", "one-restart", "restarts", "failed", "never-settled", "disagreed", "stopped",
                            "unreadable"})
        EXPECT_EQ(countShown(all, cls), std::to_string(counts[cls])) << cls;

    for (const std::string cls : {"failed", "one-restart"}) {
        std::string page = dom("#class=" + cls);
        std::map<size_t, std::string> want;
        for (const auto& r : recs)
            if (r["outcome"] == cls) want[r["index"].get<size_t>()] = cls;
        EXPECT_EQ(shown(page), want) << cls;
        EXPECT_NE(page.find("<span id=\"shown\">" + std::to_string(want.size()) + "</span>"), std::string::npos) << cls;
    }
}

TEST(Fleet, ShardsRunThroughGnuParallelJoinIntoWhatOneRunGives) {
    if (access("/usr/bin/parallel", X_OK) != 0) GTEST_SKIP() << "no GNU parallel: install the Debian package parallel";
    std::string one = folder("one"), shards = folder("shards"), joined = folder("joined");
    const std::string seeds = "--random 1.." + std::to_string(Small);
    Shell whole = shell(winsim("fleet " + seeds + " --jobs 2 --out " + quote(one)));
    ASSERT_EQ(records(one).size(), Small) << whole.output;
    Shell parts = shell("/usr/bin/parallel --will-cite -j 2 " + winsim("fleet " + seeds) + " --jobs 1 --shard {}/4 --out " +
                        quote(shards) + "/{} ::: 1 2 3 4");
    // GNU parallel's status: how many shards ended with 1 (a server that does
    // not complete); 2 would be a shard that could not run.
    EXPECT_LE(parts.status, 4) << parts.output;
    std::string dirs;
    for (int k = 1; k <= 4; ++k) dirs += " " + quote(shards + "/" + std::to_string(k));
    Shell merge = shell(winsim("fleet merge" + dirs + " --out " + quote(joined)));
    EXPECT_EQ(merge.status, whole.status) << merge.output;
    for (const char* file : {"servers.jsonl", "summary.txt", "report.html"})
        EXPECT_EQ(scenario::readFile(joined + "/" + file), scenario::readFile(one + "/" + file)) << file;
    // A shard missing, or given twice: refused.
    EXPECT_EQ(shell(winsim("fleet merge " + quote(shards + "/1") + " " + quote(shards + "/2") + " --out " +
                           quote(joined + "/x")))
                  .status,
              2);
    EXPECT_EQ(shell(winsim("fleet merge" + dirs + " " + quote(shards + "/2") + " --out " + quote(joined + "/y"))).status, 2);
}

TEST(Fleet, AnInterruptedRunGoesOnWithResumeAndGivesWhatOneRunGives) {
    std::string one = folder("one"), cut = folder("cut");
    const std::string range = "1.." + std::to_string(Small), seeds = "--random " + range;
    shell(winsim("fleet " + seeds + " --jobs 2 --out " + quote(one)));
    ASSERT_EQ(records(one).size(), Small);

    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(WINSIM_BINARY, "winsim", "fleet", "--random", range.c_str(), "--jobs", "1", "--out", cut.c_str(), nullptr);
        _exit(127);
    }
    // Killed (as a host dies) once a few records are in its journal.
    std::string journal = cut + "/.fleet-run/journal.jsonl";
    auto lines = [&] {
        std::string text = scenario::readFile(journal);
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    };
    for (int i = 0; i < 1200 && lines() < 3; ++i) usleep(50000);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    size_t kept = lines() - 1;
    ASSERT_GE(kept, 2u);
    ASSERT_LT(kept, Small) << "the run ended before it was killed";
    EXPECT_FALSE(fs::exists(cut + "/servers.jsonl"));

    Shell resumed = shell(winsim("fleet " + seeds + " --jobs 2 --resume --out " + quote(cut)));
    EXPECT_NE(resumed.output.find("servers recorded already"), std::string::npos) << resumed.output;
    EXPECT_NE(resumed.output.find("Rehearsed " + std::to_string(Small - kept) + " servers"), std::string::npos)
        << "only the servers not yet recorded: " << resumed.output;
    for (const char* file : {"servers.jsonl", "summary.txt", "report.html"})
        EXPECT_EQ(scenario::readFile(cut + "/" + file), scenario::readFile(one + "/" + file)) << file;
    // A run of other options does not go on from it.
    EXPECT_EQ(shell(winsim("fleet --random 2.." + std::to_string(Small) + " --resume --out " + quote(cut))).status, 2);
}

// A server whose rehearsal hangs or crashes is reported as such, and the
// others go on: media whose SETUP.EXE hangs on one machine, ends the
// rehearsal's process on another and is the built installer on the rest.
TEST(Fleet, ARehearsalThatHangsOrCrashesIsReportedAndTheOthersGoOn) {
    std::string media = folder("media"), out = folder("out");
    for (const auto& entry : fs::directory_iterator(MEDIA_DIR)) {
        if (entry.path().filename() == "win2000") continue;
        fs::create_directory_symlink(entry.path(), fs::path(media) / entry.path().filename());
    }
    fs::create_directories(fs::path(media) / "win2000");
    for (const auto& entry : fs::directory_iterator(fs::path(MEDIA_DIR) / "win2000"))
        if (entry.path().filename() != "SETUP.EXE")
            fs::create_symlink(entry.path(), fs::path(media) / "win2000" / entry.path().filename());
    fs::path setup = fs::path(media) / "win2000" / "SETUP.EXE";
    writeText(setup, "#!/bin/sh\n"
                     "case $(cat \"$WINSIM_MACHINE/state.json\") in\n"
                     "  *'\"name\": \"random-1\"'*) exec sleep 600 ;;\n"
                     "  *'\"name\": \"random-2\"'*) kill -SEGV $(awk '{print $4}' /proc/$PPID/stat); sleep 5 ;;\n"
                     "esac\n"
                     "exec " + quote(std::string(MEDIA_DIR) + "/win2000/SETUP.EXE") + " \"$@\"\n");
    fs::permissions(setup, fs::perms::owner_all);
    Shell run = shell(winsim("fleet --random 1..3 --jobs 3 --time-limit " + std::to_string(TimeLimit) + " --media " +
                             quote(media) + " --out " + quote(out)));
    EXPECT_EQ(run.status, 1) << run.output;
    std::vector<json> recs = records(out);
    ASSERT_EQ(recs.size(), 3u) << run.output;
    EXPECT_EQ(recs[0]["outcome"], "stopped");
    EXPECT_NE(recs[0]["reason"].get<std::string>().find("ran past its time limit of " + std::to_string(TimeLimit) +
                                                         " s, at: D:\\WIN2000\\SETUP.EXE /X"),
              std::string::npos)
        << recs[0]["reason"];
    EXPECT_EQ(recs[1]["outcome"], "stopped");
    // (Under the sanitizers the rehearsal reports the fault itself and ends
    // with a status of its own.)
    std::string crash = recs[1]["reason"];
    EXPECT_TRUE(crash.find("crashed (signal 11") != std::string::npos || crash.find("Sanitizer: SEGV") != std::string::npos)
        << crash;
    // (Its earlier processor service program is in use: the second phase
    // leaves its replacement for a second start.)
    EXPECT_EQ(recs[2]["outcome"], "restarts") << recs[2]["reason"];
    // Nothing of the rehearsals is left running: no process whose machine
    // (its environment's WINSIM_MACHINE) is below the fleet's folder.
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        // (Read as a stream: /proc gives its files no size.)
        std::ifstream in(entry.path() / "environ", std::ios::binary);
        std::string environment((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(environment.find("WINSIM_MACHINE=" + out), std::string::npos) << "process " << name << " left running";
    }
}

}  // namespace
