// The machine as JSON: the state that a machine folder keeps (state.json)
// and the description that `winsim create --from` reads are one format.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "sim/core/machine.h"

namespace sim {

void toJson(const Machine& m, nlohmann::json& j);
// Reads a machine state or a description; missing fields keep their
// defaults. Returns false with a message on malformed input.
bool fromJson(const nlohmann::json& j, Machine& m, std::string& error);

}  // namespace sim
