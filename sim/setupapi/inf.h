// INF files as the simulated Setup API reads them: sections of lines, each
// line an optional key and a list of comma-separated fields, with %strings%
// replaced from the [Strings] section.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sim/core/names.h"

namespace sim {

struct InfLine {
    std::string key;                  // empty for a line without "="
    std::vector<std::string> fields;  // quotes removed, %strings% replaced
};

struct Inf {
    std::string path;    // canonical Windows path of the file
    std::string folder;  // its folder, "C:\\...\\win2000"
    std::map<std::string, std::vector<InfLine>, CaseLess> sections;

    const std::vector<InfLine>* section(const std::string& name) const;
    // The first field of the first line with the key, or empty.
    std::string value(const std::string& sectionName, const std::string& key) const;
};

// Parses INF text. Returns false with a line number for a malformed line
// (a section header without "]", an unterminated quote).
bool parseInf(const std::string& text, Inf& inf, int& badLine);

// Reads and parses an INF of the machine. Errors: ERROR_FILE_NOT_FOUND (or
// the path's resolution error) for a missing file, ERROR_GENERAL_SYNTAX for
// a malformed one, ERROR_WRONG_INF_STYLE when [Version] has no Windows NT
// signature.
bool loadInf(const std::string& windowsPath, Inf& inf, unsigned long& error);

// One model of the INF: the install section that a hardware id selects.
struct InfModel {
    std::string description;
    std::string installSection;
    std::vector<std::string> ids;  // hardware id and compatible ids
};
// Every model of every manufacturer, in file order.
std::vector<InfModel> infModels(const Inf& inf);
// The model listing the id (compared without regard to case), or null.
const InfModel* findModel(const std::vector<InfModel>& models, const std::string& id);

}  // namespace sim
