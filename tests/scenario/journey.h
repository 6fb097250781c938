// One machine's journey through the installation, judged by the outcome
// rules (sim/outcome/outcome.h): the first run (unattended /X, interactive with
// every prompt answered, or quiet /Q), each start of Windows until the
// machine settles (the service phase and the run at the logon judged too),
// and a further SETUP.EXE /Q that must end with 0 and change nothing but
// the record of programs run. A plain user's run must end with 2 and change
// nothing. Every program must leave no handle or heap block.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "harness.h"
#include "sim/outcome/outcome.h"

namespace journey {

// What the programs of a start (those after `before` in `after`) claimed,
// each given to `judge`: every run at the logon by its exit code and
// console, the service phase by its outcome entry on the event log.
void judgeStart(const sim::Machine& before, const sim::Machine& after,
                const std::function<void(const oracle::Claim&)>& judge);

// How the first run is started: unattended (/X, the second phase as a
// service), interactive (every prompt answered), or quiet (/Q, the second
// phase through RunOnce and the run at the next logon).
enum class Way { Unattended, Interactive, Quiet };
const Way AllWays[] = {Way::Unattended, Way::Interactive, Way::Quiet};

struct Scenario {
    std::string preset;  // empty: a machine from the seed
    uint64_t seed = 0;
    Way way = Way::Unattended;

    bool interactive() const { return way == Way::Interactive; }
    std::string name() const;
    std::string commandLine() const;
    // The winsim commands that show the scenario again.
    std::string reproduction(const std::string& folder) const;
};

class Journey {
public:
    Journey(const Scenario& s, scenario::Machine& machine) : s_(s), machine_(machine) {}

    void go();

    // What disagreed; empty when the journey kept every rule.
    std::vector<std::string> problems;
    // What it came to: the first run's exit code, whether the machine's
    // account is an administrator's, and the starts of Windows it took to
    // settle (-1 when it did not).
    int firstExitCode = -1;
    bool administrator = true;
    int restarts = -1;

    static const int MaxRestarts = 3;
    static const int RunLimitSeconds = 60;

private:
    bool settled();
    void judge(const oracle::Claim& claim);
    void judgeRun(const std::string& what, const scenario::RunResult& r, bool quiet);
    void restart();
    void checkRunAgainChangesNothing();

    const Scenario& s_;
    scenario::Machine& machine_;
    oracle::Texts texts_;
    sim::Machine start_;
    bool usbRoad_ = false;
};

}  // namespace journey
