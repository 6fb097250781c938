// The outcome oracle over every preset and over machines made from seeds,
// unattended (/X), interactive (every prompt answered from a file) and quiet
// (/Q, the second phase through RunOnce; machines from seeds): after
// the first phase, each service phase and each run at a logon, the exit code
// agrees with the machine (the rules in sim/outcome/outcome.h, the journey in
// journey.h). An administrator's machine then settles within three restarts with every present device of the family
// bound and nothing pending, and a further SETUP.EXE /Q ends with 0 and
// changes nothing but the record of programs run. A plain user's run ends
// with 2 and changes nothing.
//
// ORACLE_MACHINES (default 150; 12 under the sanitizers) machines from the
// seeds ORACLE_FIRST_SEED (default 1) on, each two of the three ways, the
// one left out turning with the seed (under the sanitizers one way each, in
// turn; ORACLE_WAYS=1, 2 or 3 chooses how many); the scenarios are dealt out to shards
// that CTest runs side by side. A disagreement names the seed and the winsim
// commands that show it again.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "journey.h"
#include "sim/machines/presets.h"

namespace {

using journey::AllWays;
using journey::Scenario;
using journey::Way;
const int Shards = 16;
// Under the sanitizers a run costs several times as much: fewer machines
// there, the full number in the plain build.
#if defined(__SANITIZE_ADDRESS__)
const uint64_t DefaultMachines = 12;
const uint64_t DefaultWays = 1;
#else
const uint64_t DefaultMachines = 150;
const uint64_t DefaultWays = 2;
#endif
const int Workers = 2;  // scenarios of one shard run side by side

uint64_t environmentNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

std::vector<Scenario> allScenarios() {
    std::vector<Scenario> out;
    for (Way way : {Way::Unattended, Way::Interactive}) {
        for (const auto& [name, description] : sim::presetList()) out.push_back({name, 0, way});
    }
    uint64_t first = environmentNumber("ORACLE_FIRST_SEED", 1);
    uint64_t count = environmentNumber("ORACLE_MACHINES", DefaultMachines);
    // Each machine the chosen number of ways, the first of them turning with
    // the seed, so that every way meets as many machines.
    uint64_t ways = std::min<uint64_t>(std::max<uint64_t>(environmentNumber("ORACLE_WAYS", DefaultWays), 1), 3);
    for (uint64_t seed = first; seed < first + count; ++seed)
        for (uint64_t k = 0; k < ways; ++k) out.push_back({"", seed, AllWays[(seed + k) % 3]});
    return out;
}

class OutcomeOracle : public ::testing::TestWithParam<int> {};

TEST_P(OutcomeOracle, ExitCodesAgreeWithTheMachineAndItSettles) {
    std::vector<Scenario> mine;
    std::vector<Scenario> all = allScenarios();
    for (size_t i = static_cast<size_t>(GetParam()); i < all.size(); i += Shards) mine.push_back(all[i]);

    std::mutex guard;
    std::atomic<size_t> next{0};
    size_t disagreeing = 0;
    std::vector<std::thread> threads;
    for (int w = 0; w < Workers; ++w)
        threads.emplace_back([&, w] {
            for (size_t i; (i = next++) < mine.size();) {
                const Scenario& s = mine[i];
                std::unique_ptr<scenario::Machine> machine =
                    s.preset.empty() ? std::make_unique<scenario::Machine>(scenario::Machine::Seed{s.seed},
                                                                           ".w" + std::to_string(w))
                                     : std::make_unique<scenario::Machine>(s.preset, ".w" + std::to_string(w));
                journey::Journey run(s, *machine);
                run.go();
                if (run.problems.empty()) continue;
                std::ostringstream text;
                text << s.name() << ":\n";
                for (const auto& p : run.problems) text << "  " << p << "\n";
                text << s.reproduction(machine->folder());
                std::lock_guard<std::mutex> g(guard);
                ++disagreeing;
                ADD_FAILURE() << text.str();
            }
        });
    for (auto& t : threads) t.join();
    RecordProperty("scenarios", static_cast<int>(mine.size()));
    RecordProperty("disagreeing", static_cast<int>(disagreeing));
}

INSTANTIATE_TEST_SUITE_P(Shards, OutcomeOracle, ::testing::Range(0, Shards));

}  // namespace
