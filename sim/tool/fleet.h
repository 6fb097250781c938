// winsim fleet: the installation rehearsed on every server of a fleet, from
// the captures of the snapshot program (or from seeds), each server in a
// scratch machine of its own and a process group of its own, with a record
// per server (servers.jsonl), a recap (summary.txt) and a report to read in
// a browser (report.html). See docs/fleet.md.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace winsim::fleet {

// The version of the record's layout (docs/fleet.md); a change that a
// reader of version 1 would misread takes a new number.
const int SchemaVersion = 1;

// What a server's rehearsal came to, in the order the recap lists them.
enum class Outcome { Complete, OneRestart, Restarts, Failed, NeverSettled, Disagreed, Stopped, Unreadable };
const int OutcomeCount = 8;
struct OutcomeName {
    const char* id;     // in the records and the report's address: "one-restart"
    const char* label;  // in the recap: "complete after one restart"
};
const OutcomeName& outcomeName(Outcome o);
// The class of an id; false for none.
bool outcomeOf(const std::string& id, Outcome& o);
// Whether a server of the class completes (the fleet's exit status 0).
inline bool completes(Outcome o) { return o == Outcome::Complete || o == Outcome::OneRestart || o == Outcome::Restarts; }

// One server of the fleet: a capture folder below SOURCE, or a seed.
struct Server {
    size_t index = 0;      // its place in the fleet, from 0
    std::string name;      // the capture folder's name; random-SEED for a seed
    std::string source;    // the capture folder relative to SOURCE ("." for SOURCE itself), or "random SEED"
    std::string folder;    // the capture folder's host path; empty for a seed
    bool random = false;
    uint64_t seed = 0;
    std::string problem;   // found while listing: why it cannot be rehearsed
};

// The captures below SOURCE in the fleet's order: every folder at any depth
// that holds machine.json (or that holds files/ without it: an incomplete
// capture), sorted by their relative paths byte by byte. Two captures of one
// server name (the folder's name, letter case aside) are both refused.
// Symbolic links are not followed. False with a message when SOURCE cannot
// be read or holds no capture.
bool listCaptures(const std::string& source, std::vector<Server>& out, std::string& error);

// A capture checked before anything reads it for a machine: its
// machine.json whole and valid (no duplicate or unknown field, the types of
// a description), every file it names present below its files/ folder, no
// host path outside the capture folder, nothing on a drive but C:. Empty
// when it may be rehearsed, with `description` the description to make the
// machine from (its files named by their absolute host paths); else why not.
std::string checkCapture(const std::string& folder, const std::string& name, nlohmann::json& description);

// What every server's rehearsal does.
struct Settings {
    std::string command = "D:\\WIN2000\\SETUP.EXE /X";
    std::string cwd = "D:\\WIN2000";
    int maxStarts = 5;
    std::string media;  // the host folder of drive D:
};

// The record of a server that was not rehearsed (unreadable, stopped).
nlohmann::ordered_json recordWithout(const Server& s, size_t fleetSize, const Settings& settings, Outcome o,
                                     const std::string& reason);
// A record as one line of servers.jsonl (with its line end).
std::string recordLine(const nlohmann::ordered_json& record);

// The recap and the report, from the records in the fleet's order
// (servers.jsonl). Each file is written beside its place and renamed into
// it. The recap's text is returned for printing. False with a message when
// a file cannot be written.
bool writeReports(const std::string& recordsFile, const std::string& outDir, std::string& recap, bool& allComplete,
                  std::string& error);

// Writes a file beside `path` and renames it into place, so that a reader
// sees the old file or the whole new one (durable: on the disk before the
// rename). False with a message when it cannot.
bool replaceFileWith(const std::string& path, const std::function<bool(std::ostream&)>& write, bool durable,
                     std::string& error);
bool replaceFile(const std::string& path, const std::string& bytes, std::string& error, bool durable = true);

}  // namespace winsim::fleet
