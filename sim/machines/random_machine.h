// Machines made from a seed: a random mix of the product family's devices,
// earlier software, installed files with version stamps, a default language,
// an account and unrelated devices. The same seed always gives the same
// description.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace sim {

struct RandomMachine {
    // A plain winsim description (the format of `winsim create --from`);
    // its "files" name host files relative to the description's folder.
    nlohmann::json description;
    // Those files: relative host path to the bytes they hold.
    std::map<std::string, std::string> files;
    // Answers for an interactive run: one line per prompt, in the machine's
    // language, then a key for the last prompt.
    std::string answers;
};

// The machine of a seed. The media folder gives the answer words of each
// language (from its language files); nothing else of it is read.
RandomMachine randomMachine(uint64_t seed, const std::string& mediaDir);

// Writes the description to `folder`: machine.json, the files below
// files/, and answers.txt. False with a message when it cannot.
bool writeRandomMachine(const RandomMachine& r, const std::string& folder, std::string& error);

}  // namespace sim
