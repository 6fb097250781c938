#include "sim/setupapi/inf.h"

#include "platform/win_base.h"
#include "sim/files/paths.h"

namespace sim {

const std::vector<InfLine>* Inf::section(const std::string& name) const {
    auto it = sections.find(name);
    return it == sections.end() ? nullptr : &it->second;
}

std::string Inf::value(const std::string& sectionName, const std::string& key) const {
    const auto* s = section(sectionName);
    if (!s) return "";
    for (const auto& l : *s)
        if (equalNoCase(l.key, key)) return l.fields.empty() ? "" : l.fields[0];
    return "";
}

namespace {

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// Splits a line's text into fields at commas outside quotes; a field keeps
// a mark of whether it was quoted so that the key/value split sees "=" only
// outside quotes. Comments start with ';' outside quotes.
bool splitFields(const std::string& text, std::vector<std::string>& fields, size_t& equalsAt) {
    fields.clear();
    equalsAt = std::string::npos;
    std::string cur;
    bool quoted = false, any = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    cur += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                cur += c;
            }
            continue;
        }
        if (c == '"') {
            quoted = any = true;
            continue;
        }
        if (c == ';') break;
        if (c == '=' && equalsAt == std::string::npos && fields.empty()) {
            equalsAt = 0;
            fields.push_back(trim(cur));
            cur.clear();
            any = false;
            continue;
        }
        if (c == ',') {
            fields.push_back(any ? cur : trim(cur));
            cur.clear();
            any = false;
            continue;
        }
        cur += c;
    }
    if (quoted) return false;
    fields.push_back(any ? cur : trim(cur));
    return true;
}

std::string expandStrings(const std::string& s, const std::map<std::string, std::string, CaseLess>& strings) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        size_t end = s.find('%', i + 1);
        if (end == std::string::npos) {
            out += s.substr(i);
            break;
        }
        std::string name = s.substr(i + 1, end - i - 1);
        if (name.empty()) {
            out += '%';
        } else {
            auto it = strings.find(name);
            // Unknown names (such as the directory ids %10%) stay as written.
            out += it == strings.end() ? "%" + name + "%" : it->second;
        }
        i = end;
    }
    return out;
}

}  // namespace

bool parseInf(const std::string& text, Inf& inf, int& badLine) {
    struct Raw {
        std::string section;
        std::string key;
        std::vector<std::string> fields;
    };
    std::vector<Raw> raw;
    std::string current;
    bool inSection = false;
    int number = 0;
    size_t pos = 0;
    std::string pending;
    while (pos <= text.size()) {
        size_t eol = text.find('\n', pos);
        std::string line = text.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
        pos = eol == std::string::npos ? text.size() + 1 : eol + 1;
        ++number;
        line = trim(line);
        // A backslash at the end of a line continues it on the next.
        if (!line.empty() && line.back() == '\\' && line.find(';') == std::string::npos) {
            pending += line.substr(0, line.size() - 1);
            continue;
        }
        line = pending + line;
        pending.clear();
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos) {
                badLine = number;
                return false;
            }
            current = trim(line.substr(1, close - 1));
            inSection = true;
            inf.sections[current];
            continue;
        }
        if (!inSection) continue;  // text before the first section is ignored
        std::vector<std::string> fields;
        size_t equals;
        if (!splitFields(line, fields, equals)) {
            badLine = number;
            return false;
        }
        Raw r;
        r.section = current;
        if (equals != std::string::npos) {
            r.key = fields[0];
            fields.erase(fields.begin());
        }
        r.fields = fields;
        raw.push_back(r);
    }
    std::map<std::string, std::string, CaseLess> strings;
    for (const auto& r : raw)
        if (equalNoCase(r.section, "Strings") && !r.key.empty() && !r.fields.empty()) strings[r.key] = r.fields[0];
    for (const auto& r : raw) {
        InfLine l;
        l.key = expandStrings(r.key, strings);
        for (const auto& f : r.fields) l.fields.push_back(expandStrings(f, strings));
        inf.sections[r.section].push_back(l);
    }
    return true;
}

bool loadInf(const std::string& windowsPath, Inf& inf, unsigned long& error) {
    inf = Inf();
    ResolvedPath r;
    if (!resolve(windowsPath, r, error)) return false;
    std::string text;
    if (!r.exists || r.directory || !readMachineFile(r.windows, text)) {
        error = ERROR_FILE_NOT_FOUND;
        return false;
    }
    inf.path = r.windows;
    size_t slash = r.windows.find_last_of('\\');
    inf.folder = r.windows.substr(0, slash);
    int bad = 0;
    if (!parseInf(text, inf, bad)) {
        error = ERROR_GENERAL_SYNTAX;
        return false;
    }
    std::string signature = inf.value("Version", "Signature");
    if (!equalNoCase(signature, "$Windows NT$") && !equalNoCase(signature, "$Chicago$")) {
        error = ERROR_WRONG_INF_STYLE;
        return false;
    }
    return true;
}

std::vector<InfModel> infModels(const Inf& inf) {
    std::vector<InfModel> out;
    const auto* manufacturers = inf.section("Manufacturer");
    if (!manufacturers) return out;
    for (const auto& m : *manufacturers) {
        if (m.fields.empty() || m.fields[0].empty()) continue;
        // Windows 2000 reads the undecorated models section.
        const auto* models = inf.section(m.fields[0]);
        if (!models) continue;
        for (const auto& line : *models) {
            if (line.fields.size() < 2) continue;
            InfModel model;
            model.description = line.key;
            model.installSection = line.fields[0];
            model.ids.assign(line.fields.begin() + 1, line.fields.end());
            out.push_back(model);
        }
    }
    return out;
}

const InfModel* findModel(const std::vector<InfModel>& models, const std::string& id) {
    for (const auto& m : models)
        for (const auto& i : m.ids)
            if (!i.empty() && equalNoCase(i, id)) return &m;
    return nullptr;
}

}  // namespace sim
