// Names as Windows compares and writes them: ASCII letters without regard to
// case (upper-cased, the way the registry sorts its subkeys), paths as lists
// of names, and GUIDs in their braced text form.
#pragma once

#include <string>
#include <vector>

#include "platform/win_base.h"

namespace sim {

// Case-insensitive ordering of ASCII names, as the registry and the file
// system compare them.
struct CaseLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
bool equalNoCase(const std::string& a, const std::string& b);
std::string upper(std::string s);
std::string lower(std::string s);

// The names of a path between any of the separators, empty ones left out
// ("A\\\\B\\" gives A and B).
std::vector<std::string> pathNames(const std::string& path, const char* separators);

// "{4D36E97D-E325-11CE-BFC1-08002BE10318}" and back; false for a text of
// another form.
bool parseGuid(const std::string& text, GUID& g);
std::string guidText(const GUID& g);

}  // namespace sim
