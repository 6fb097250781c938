// Staging benchmarks, each against a baseline measured in the same run:
// the start-marker search against std::search with the standard library's
// Horspool searcher and against memmem, and a whole staging run against a
// plain copy of the same files with std::filesystem::copy_file and against
// its floor: that copy plus the two reads of up to 100,000 bytes that the
// stamp comparison needs wherever the target exists. The ratios are
// printed after the run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/machines/presets.h"
#include "ratio_reporter.h"
#include "sim/core/runtime.h"
#include "setup/run_state.h"
#include "staging/staging_tree.h"
#include "staging/version_stamp.h"

namespace fs = std::filesystem;

namespace {

const int BlockSize = 100000;
const int StampBytes = 100000;  // what the stamp comparison reads of a file
const char Marker[] = "!@#$";

// The three blocks: no marker in plain text, the marker near the end, and
// many near misses ("@#$" matches the marker's last three bytes).
std::string makeBlock(int kind) {
    std::string block;
    block.reserve(BlockSize);
    unsigned state = 2024;
    if (kind == 2) {
        while (block.size() < BlockSize) block += "@#$";
        block.resize(BlockSize);
        return block;
    }
    const char text[] = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789.\r\n";
    while (block.size() < BlockSize) {
        state = state * 1103515245u + 12345u;
        block += text[(state >> 16) % (sizeof text - 1)];
    }
    if (kind == 1) block.replace(BlockSize - 20, 4, Marker);
    return block;
}

const char* const CaseNames[] = {"absent", "near_end", "near_misses"};

void BM_findPattern(benchmark::State& state) {
    std::string block = makeBlock(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(findPattern(Marker, block.data(), BlockSize));
    state.SetBytesProcessed(state.iterations() * BlockSize);
    state.SetLabel(CaseNames[state.range(0)]);
}

void BM_stdSearchHorspool(benchmark::State& state) {
    std::string block = makeBlock(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        // The searcher is built per search, as findPattern builds its table.
        std::boyer_moore_horspool_searcher searcher(Marker, Marker + 4);
        benchmark::DoNotOptimize(std::search(block.begin(), block.end(), searcher));
    }
    state.SetBytesProcessed(state.iterations() * BlockSize);
    state.SetLabel(CaseNames[state.range(0)]);
}

void BM_memmem(benchmark::State& state) {
    std::string block = makeBlock(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(::memmem(block.data(), BlockSize, Marker, 4));
    state.SetBytesProcessed(state.iterations() * BlockSize);
    state.SetLabel(CaseNames[state.range(0)]);
}

BENCHMARK(BM_findPattern)->DenseRange(0, 2);
BENCHMARK(BM_stdSearchHorspool)->DenseRange(0, 2);
BENCHMARK(BM_memmem)->DenseRange(0, 2);

// ---- a whole staging run --------------------------------------------------

const char* const MediaFiles[][3] = {
    {"win2000", "SETUP.EXE", "180000"},   {"win2000", "KORP.INF", "6000"},
    {"win2000", "KORPA.INF", "6000"},     {"win2000", "SERW.INF", "5000"},
    {"win2000", "QRVSERW.SYS", "40000"},  {"win2000", "QRVMPREM.DLL", "90000"},
    {"win2000", "QRVMPW.DLL", "70000"},   {"win2000", "QRVMPW.SYS", "60000"},
    {"win2000", "MPW.INF", "5000"},       {"win2000", "KORP.CAT", "9000"},
    {"win2000", "KORPA.CAT", "9000"},     {"win2000", "SERW.CAT", "9000"},
    {"win2000", "MPW.CAT", "9000"},       {"win2000", "COINFCP.DLL", "50000"},
    {"win2000", "QRVMPREM.EXE", "120000"}, {"win2000", "QRVMPSVC.EXE", "150000"},
    {"nt", "RVOSETUP.EXE", "200000"},     {"nls", "ENGLISH.NLS", "4000"},
    {"nls", "JAPANESE.NLS", "5000"},
};

// The copy order of the staging tree: SETUP.EXE again after RVOSETUP.EXE.
const int CopyOrder[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0, 17, 18};

struct StagingBench {
    std::string root;
    RunState run = {};        // the directories of the staging run
    std::string stagingHost;  // the tree as the machine places it
    std::string plainHost;    // the plain copy's target
    std::string floorHost;    // the floor's target

    StagingBench() {
        // Below TMPDIR where it is set (a RAM file system shows the
        // system calls alone), else below /tmp.
        const char* top = std::getenv("TMPDIR");
        std::string pattern = std::string(top && *top ? top : "/tmp") + "/bench-staging-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (!::mkdtemp(name.data())) {
            std::perror(pattern.c_str());
            std::exit(1);
        }
        root = name.data();
        for (const auto& f : MediaFiles) {
            fs::create_directories(root + "/media/" + f[0]);
            std::string data(static_cast<size_t>(std::atoi(f[2])), 'x');
            // A stamp near the start, as the shipped files carry it.
            data.replace(200, 14, "!@#$5.10.0$#@!");
            std::ofstream(root + "/media/" + f[0] + "/" + f[1], std::ios::binary) << data;
        }
        // The three trees lie as deep as the machine places the staging
        // tree, so that every path takes as many steps to look up.
        fs::create_directories(root + "/C/WINNT/system32/drivers");
        fs::create_directories(root + "/P/WINNT/system32/drivers");
        fs::create_directories(root + "/F/WINNT/system32/drivers");
        stagingHost = root + "/C/WINNT/system32/drivers/korpa";
        plainHost = root + "/P/WINNT/system32/drivers/korpa";
        floorHost = root + "/F/WINNT/system32/drivers/korpa";
        sim::Machine m = sim::baseMachine(root + "/media");
        m.drives["C"] = root + "/C";
        sim::useMachine(m);
        sim::recordCalls(false);
        run = RunState{};
        run.quietMode = 1;
        std::snprintf(run.directories.source, sizeof run.directories.source, "D:");
        std::snprintf(run.directories.system, sizeof run.directories.system, "C:\\WINNT\\system32");
        std::snprintf(run.directories.staging, sizeof run.directories.staging, "C:\\WINNT\\system32\\drivers\\korpa");
    }
    ~StagingBench() { fs::remove_all(root); }

    static void makeTree(const std::string& host) {
        for (const char* d : {"", "/win2000", "/nt", "/nt/K4100", "/nt/K4100/rmtptr", "/nls"})
            fs::create_directory(host + d);
    }

    void plainCopy() {
        makeTree(plainHost);
        for (int i : CopyOrder) {
            const auto& f = MediaFiles[i];
            fs::copy_file(root + "/media/" + f[0] + "/" + f[1], plainHost + "/" + f[0] + "/" + f[1],
                          fs::copy_options::overwrite_existing);
        }
    }

    // What staging cannot do without: the copy, and before it, where the
    // target exists, one read of up to 100,000 bytes of the target and one of
    // the source into one buffer.
    void floorCopy() {
        makeTree(floorHost);
        static char buffer[StampBytes];
        for (int i : CopyOrder) {
            const auto& f = MediaFiles[i];
            std::string source = root + "/media/" + f[0] + "/" + f[1];
            std::string target = floorHost + "/" + f[0] + "/" + f[1];
            int fd = ::open(target.c_str(), O_RDONLY);
            if (fd >= 0) {
                benchmark::DoNotOptimize(::read(fd, buffer, sizeof buffer));
                ::close(fd);
                fd = ::open(source.c_str(), O_RDONLY);
                benchmark::DoNotOptimize(::read(fd, buffer, sizeof buffer));
                ::close(fd);
            }
            fs::copy_file(source, target, fs::copy_options::overwrite_existing);
        }
    }
};

StagingBench& bench() {
    static StagingBench b;
    return b;
}

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// A whole staging run, the plain copy and the floor, measured in turn round
// by round (the order rotating), so that a machine busy with other work
// weighs on all three alike: CPU time of this thread, the kernel's work for
// it included. Argument 0: a clean tree (each tree removed before its run,
// outside the time); 1: a repeated run (every target exists, so each copy
// compares stamps). The medians over the rounds are the counters.
void BM_staging(benchmark::State& state) {
    StagingBench& b = bench();
    bool clean = state.range(0) == 0;
    std::vector<double> times[3];
    int round = 0;
    if (!clean) {
        stageMediaFiles(b.run.messages, b.run.directories, b.run.quietMode);
        b.plainCopy();
        b.floorCopy();
    }
    for (auto _ : state) {
        for (int k = 0; k < 3; ++k) {
            int which = (round + k) % 3;
            if (clean) fs::remove_all(which == 0 ? b.stagingHost : which == 1 ? b.plainHost : b.floorHost);
            double start = threadCpuSeconds();
            if (which == 0) stageMediaFiles(b.run.messages, b.run.directories, b.run.quietMode);
            else if (which == 1) b.plainCopy();
            else b.floorCopy();
            times[which].push_back(threadCpuSeconds() - start);
        }
        state.SetIterationTime(times[0].back());
        ++round;
    }
    state.counters["staging_us"] = median(times[0]) * 1e6;
    state.counters["plain_us"] = median(times[1]) * 1e6;
    state.counters["floor_us"] = median(times[2]) * 1e6;
    state.SetLabel(clean ? "clean tree" : "repeated");
}

BENCHMARK(BM_staging)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

void printRatio(const RatioReporter& r, const std::string& what, const std::string& a, const std::string& b) {
    auto ia = r.times.find(a);
    auto ib = r.times.find(b);
    if (ia == r.times.end() || ib == r.times.end() || ib->second <= 0) return;
    std::printf("  %-52s %6.2f\n", what.c_str(), ia->second / ib->second);
}

}  // namespace

int main(int argc, char** argv) {
    RatioReporter reporter;
    if (!runBenchmarks(argc, argv, reporter)) return 1;
    std::printf("\nThroughput of findPattern / that of the other search, from CPU times (above 1: findPattern is "
                "faster):\n");
    for (int i = 0; i < 3; ++i) {
        std::string n = "/" + std::to_string(i);
        printRatio(reporter, std::string("findPattern / std::search Horspool, ") + CaseNames[i],
                   "BM_stdSearchHorspool" + n, "BM_findPattern" + n);
        printRatio(reporter, std::string("findPattern / memmem, ") + CaseNames[i], "BM_memmem" + n,
                   "BM_findPattern" + n);
    }
    std::printf("\nTime of a staging run / time of the other, from CPU times (below 1: staging is faster):\n");
    for (const char* run : {"BM_staging/0/manual_time", "BM_staging/1/manual_time"}) {
        std::string tree = run == std::string("BM_staging/0/manual_time") ? "clean tree" : "repeated";
        std::string at = std::string(run) + ":";
        printRatio(reporter, "staging / plain copy, " + tree, at + "staging_us", at + "plain_us");
        printRatio(reporter, "staging / floor (copy and stamp reads), " + tree, at + "staging_us", at + "floor_us");
    }
    benchmark::Shutdown();
    return 0;
}
