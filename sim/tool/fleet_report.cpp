// The fleet's records, recap and report: the classes of outcome, a server's
// record as a line of servers.jsonl, and summary.txt and report.html made
// from those lines in the fleet's order. Both are read from the records
// file as a stream (twice: the counts first, then the report), so that a
// fleet of any size takes the same memory; the same records give the same
// bytes, whether one run or the merged shards wrote them.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "sim/tool/fleet.h"

namespace fs = std::filesystem;
using nlohmann::ordered_json;

namespace winsim::fleet {

namespace {

const OutcomeName Names[OutcomeCount] = {
    {"complete", "complete, no restart"},
    {"one-restart", "complete after one restart"},
    {"restarts", "complete after two or more restarts"},
    {"failed", "failed (exit code 2 or 8)"},
    {"never-settled", "never settled"},
    {"disagreed", "exit code disagreed with the machine"},
    {"stopped", "rehearsal crashed or ran past its time limit"},
    {"unreadable", "capture unreadable"},
};
const size_t FirstFew = 5;         // servers named for each class in the recap
const size_t ReasonWidth = 150;    // a reason's characters in the recap

// The fleet's totals: what the rollout removes, deletes and replaces.
struct Total {
    const char* field;  // of a record's "changes"
    const char* label;
};
const Total Totals[] = {
    {"devicesRemoved", "devices removed"},
    {"devicesLeftUnbound", "devices left without the family's driver"},
    {"serviceKeysDeleted", "service keys deleted"},
    {"serviceKeysLeft", "service keys of the family left"},
    {"filesReplaced", "files replaced"},
    {"filesDeleted", "files deleted"},
    {"filesKeptNewer", "files kept because newer than the media's"},
};
const size_t TotalCount = sizeof Totals / sizeof Totals[0];

struct Stats {
    size_t servers = 0;
    std::array<size_t, OutcomeCount> count{};
    std::array<std::vector<std::pair<std::string, std::string>>, OutcomeCount> first;
    std::map<int, size_t> exitCodes;
    size_t notRun = 0;
    std::array<size_t, TotalCount> items{}, onServers{};
    std::string command;
    int maxStarts = 0;
};

Outcome outcomeIn(const ordered_json& r) {
    Outcome o = Outcome::Stopped;
    if (r.contains("outcome") && r["outcome"].is_string()) outcomeOf(r["outcome"].get<std::string>(), o);
    return o;
}

size_t listSize(const ordered_json& changes, const char* field) {
    return changes.is_object() && changes.contains(field) && changes[field].is_array() ? changes[field].size() : 0;
}

std::string text(const ordered_json& j, const char* field) {
    return j.is_object() && j.contains(field) && j[field].is_string() ? j[field].get<std::string>() : "";
}

// Reads the records one by one; false with a message at a line that is not one.
template <typename Each>
bool eachRecord(const std::string& file, std::string& error, Each each) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot read " + file;
        return false;
    }
    size_t n = 0;
    for (std::string line; std::getline(in, line);) {
        ++n;
        ordered_json r = ordered_json::parse(line, nullptr, false);
        if (r.is_discarded() || !r.is_object()) {
            error = file + ": line " + std::to_string(n) + " is not a record";
            return false;
        }
        each(r);
    }
    return true;
}

std::string cut(std::string s, size_t width) {
    for (auto& c : s)
        if (c == '\n' || c == '\r') c = ' ';
    if (s.size() > width) s = s.substr(0, width - 3) + "...";
    return s;
}

std::string padded(const std::string& s, size_t width) { return s.size() >= width ? s : s + std::string(width - s.size(), ' '); }

std::string recapText(const Stats& st) {
    std::ostringstream out;
    out << "Fleet rehearsal of " << st.servers << (st.servers == 1 ? " server" : " servers") << "\n";
    if (!st.command.empty())
        out << "  command: " << st.command << ", then Windows started again until settled (at most " << st.maxStarts
            << " starts), then SETUP.EXE /Q once more\n";
    out << "\n" << padded("Outcome", 46) << "Servers\n";
    for (int i = 0; i < OutcomeCount; ++i) {
        Outcome o = static_cast<Outcome>(i);
        char count[16];
        std::snprintf(count, sizeof count, "%7zu", st.count[i]);
        out << padded(Names[i].label, 46) << count;
        if (completes(o)) {
            std::string names;
            for (const auto& [name, reason] : st.first[i]) names += (names.empty() ? "" : ", ") + name;
            if (st.count[i] > st.first[i].size()) names += ", ...";
            if (!names.empty()) out << "  " << names;
            out << "\n";
        } else {
            out << "\n";
            for (const auto& [name, reason] : st.first[i]) out << "    " << cut(name + ": " + reason, ReasonWidth) << "\n";
            if (st.count[i] > st.first[i].size()) out << "    ... and " << st.count[i] - st.first[i].size() << " more\n";
        }
    }
    out << "\nExit codes of the command:";
    std::string codes;
    for (const auto& [code, n] : st.exitCodes)
        codes += (codes.empty() ? " " : ", ") + std::to_string(code) + " on " + std::to_string(n) +
                 (n == 1 ? " server" : " servers");
    out << (codes.empty() ? " none" : codes);
    if (st.notRun) out << "; not run on " << st.notRun;
    out << "\n\nWhat the rollout removes, deletes and replaces on the fleet:\n";
    for (size_t t = 0; t < TotalCount; ++t) {
        char line[160];
        std::snprintf(line, sizeof line, "  %-44s%7zu", Totals[t].label, st.items[t]);
        out << line;
        if (st.items[t]) out << " on " << st.onServers[t] << (st.onServers[t] == 1 ? " server" : " servers");
        out << "\n";
    }
    return out.str();
}

std::string html(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

const char* const Colours[OutcomeCount] = {"#2e7d32", "#66bb6a", "#a5d6a7", "#c62828",
                                           "#ef6c00", "#6a1b9a", "#455a64", "#8d6e63"};

const char* const Style = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222}
h1{font-size:1.5em;margin:0 0 .2em}
.command{font-family:monospace}
#chart{margin:1em 0}
#chart a{text-decoration:none}
#chart text{font-size:13px;fill:#222}
nav#filters{display:flex;flex-wrap:wrap;gap:.3em 1.2em}
nav#filters a{white-space:nowrap}
nav#filters a.current{font-weight:bold}
#servers{border-collapse:collapse;width:100%;margin-top:.5em}
#servers th,#servers td{border-bottom:1px solid #ddd;padding:.3em .5em;text-align:left;vertical-align:top}
#servers th button{font:inherit;font-weight:bold;border:0;background:none;cursor:pointer;padding:0}
#servers th[aria-sort=ascending] button::after{content:" \25B2"}
#servers th[aria-sort=descending] button::after{content:" \25BC"}
#servers td.n{text-align:right}
.tag{display:inline-block;padding:0 .4em;border-radius:3px;color:#fff;white-space:nowrap}
details>summary{cursor:pointer;font-weight:bold;white-space:nowrap}
details .changes{font-weight:normal;margin:.4em 0 .6em 1em;max-width:70em}
details h3{font-size:1em;margin:.6em 0 .2em}
details ul{margin:.1em 0;padding-left:1.4em}
pre{background:#f5f5f5;padding:.3em;margin:.2em 0;white-space:pre-wrap;font-size:12px}
.bad{color:#c62828}
)";

const char* const Script = R"(
(function(){
var rows=Array.prototype.slice.call(document.querySelectorAll('#servers tbody tr'));
var body=document.querySelector('#servers tbody');
function apply(){
  var m=/^#class=([a-z-]+)$/.exec(location.hash), cls=m?m[1]:'', shown=0;
  rows.forEach(function(r){
    if(!cls||r.getAttribute('data-class')===cls){r.removeAttribute('hidden');shown++;}
    else r.setAttribute('hidden','');
  });
  document.getElementById('shown').textContent=shown;
  var label=document.querySelector('nav#filters a[data-class="'+cls+'"] .label');
  document.getElementById('filter').textContent=cls?' of the class "'+(label?label.textContent:cls)+'"':'';
  Array.prototype.forEach.call(document.querySelectorAll('nav#filters a'),function(a){
    a.className=(a.getAttribute('data-class')||'')===cls?'current':'';
  });
}
Array.prototype.forEach.call(document.querySelectorAll('#servers th'),function(th,col){
  th.querySelector('button').addEventListener('click',function(){
    var down=th.getAttribute('aria-sort')==='ascending', num=th.getAttribute('data-type')==='num';
    Array.prototype.forEach.call(document.querySelectorAll('#servers th'),function(o){o.removeAttribute('aria-sort');});
    th.setAttribute('aria-sort',down?'descending':'ascending');
    rows.sort(function(a,b){
      var x=a.cells[col].getAttribute('data-sort'), y=b.cells[col].getAttribute('data-sort');
      var c=num?Number(x)-Number(y):(x<y?-1:x>y?1:0);
      if(c===0)c=Number(a.getAttribute('data-index'))-Number(b.getAttribute('data-index'));
      return down?-c:c;
    });
    rows.forEach(function(r){body.appendChild(r);});
  });
});
window.addEventListener('hashchange',apply);
apply();
})();
)";

void writeList(std::ostream& out, const char* title, const ordered_json& items) {
    if (!items.is_array() || items.empty()) return;
    out << "<h3>" << title << " (" << items.size() << ")</h3><ul>";
    for (const auto& item : items) {
        out << "<li>";
        if (item.is_string()) out << html(item.get<std::string>());
        else if (item.contains("device")) out << html(text(item, "device")) << ": " << html(text(item, "driver"));
        else if (item.contains("commandLine"))
            out << html(text(item, "commandLine")) << " &rarr; exit code " << item.value("exitCode", -1);
        out << "</li>";
    }
    out << "</ul>";
}

void writeDetails(std::ostream& out, const ordered_json& r) {
    out << "<div class=\"changes\"><div>Capture: " << html(text(r, "source")) << "</div>";
    const ordered_json& m = r.contains("machine") ? r["machine"] : ordered_json();
    if (m.is_object())
        out << "<div>Language " << html(text(m, "language")) << ", account " << html(text(m, "account")) << ", "
            << m.value("familyDevices", 0) << " devices of the family"
            << (m.value("usbManagementDevice", false) ? ", with the USB management device" : "") << "</div>";
    if (!text(r, "reason").empty()) out << "<div class=\"bad\">" << html(text(r, "reason")) << "</div>";
    auto runOut = [&](const ordered_json& run) {
        out << "<h3>" << html(text(run, "what")) << ": <code>" << html(text(run, "commandLine")) << "</code> &rarr; exit code "
            << run.value("exitCode", -1) << (run.value("agrees", true) ? "" : " <span class=\"bad\">(disagrees)</span>")
            << "</h3><pre>" << html(text(run, "console")) << "</pre>";
        if (run.contains("disagreement")) out << "<div class=\"bad\">" << html(text(run, "disagreement")) << "</div>";
        if (run.contains("debugOutput"))
            for (const auto& line : run["debugOutput"]) out << "<div><code>" << html(line.get<std::string>()) << "</code></div>";
        if (run.contains("changes")) writeList(out, "What it changed", run["changes"]);
    };
    if (r.contains("runs") && !r["runs"].empty()) runOut(r["runs"][0]);
    if (r.contains("starts"))
        for (const auto& start : r["starts"]) {
            out << "<h3>Start " << start.value("start", 0) << " of Windows</h3><ul>";
            for (const auto& p : start["programs"])
                out << "<li>" << html(text(p, "kind")) << ": <code>" << html(text(p, "commandLine")) << "</code> &rarr; exit code "
                    << p.value("exitCode", -1) << (text(p, "console").empty() ? "" : "<pre>" + html(text(p, "console")) + "</pre>")
                    << "</li>";
            for (const auto& j : start["judged"])
                if (!j.value("agrees", true))
                    out << "<li class=\"bad\">" << html(text(j, "disagreement")) << "</li>";
            for (const auto& w : start["waiting"]) out << "<li>waiting for a restart: " << html(w.get<std::string>()) << "</li>";
            out << "</ul>";
        }
    if (r.contains("runs"))
        for (size_t i = 1; i < r["runs"].size(); ++i) runOut(r["runs"][i]);
    const ordered_json& c = r.contains("changes") ? r["changes"] : ordered_json();
    if (c.is_object()) {
        writeList(out, "Devices bound", c["devicesBound"]);
        writeList(out, "Devices removed", c["devicesRemoved"]);
        writeList(out, "Devices left without the family's driver", c["devicesLeftUnbound"]);
        writeList(out, "Service keys deleted", c["serviceKeysDeleted"]);
        writeList(out, "Service keys of the family left", c["serviceKeysLeft"]);
        writeList(out, "Service keys added", c["serviceKeysAdded"]);
        writeList(out, "Files replaced", c["filesReplaced"]);
        writeList(out, "Files deleted", c["filesDeleted"]);
        writeList(out, "Files kept because newer than the media's", c["filesKeptNewer"]);
        writeList(out, "Files kept", c["filesKept"]);
        writeList(out, "Files added", c["filesAdded"]);
        writeList(out, "Programs started", c["programsStarted"]);
    }
    out << "</div>";
}

bool writeHtml(const std::string& recordsFile, const Stats& st, std::ostream& out, std::string& error) {
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        << "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
           "script-src 'unsafe-inline'\">\n"
        << "<title>Fleet rehearsal of " << st.servers << " servers</title>\n<style>" << Style << "</style></head>\n<body>\n"
        << "<h1>Fleet rehearsal of " << st.servers << (st.servers == 1 ? " server" : " servers") << "</h1>\n";
    if (!st.command.empty())
        out << "<p>Command <span class=\"command\">" << html(st.command)
            << "</span>, then Windows started again until settled (at most " << st.maxStarts
            << " starts), then SETUP.EXE /Q once more.</p>\n";

    // The chart: one bar per class, each a link that filters the table.
    size_t most = 1;
    for (size_t n : st.count) most = std::max(most, n);
    const int rowHeight = 26, labelWidth = 320, barWidth = 420;
    out << "<svg id=\"chart\" role=\"img\" aria-label=\"Servers by outcome\" width=\"" << labelWidth + barWidth + 60
        << "\" height=\"" << rowHeight * OutcomeCount << "\" xmlns=\"http://www.w3.org/2000/svg\">\n";
    for (int i = 0; i < OutcomeCount; ++i) {
        int y = i * rowHeight;
        size_t width = st.count[i] * barWidth / most;
        out << "<a href=\"#class=" << Names[i].id << "\"><g class=\"bar\" data-class=\"" << Names[i].id << "\">"
            << "<text x=\"0\" y=\"" << y + 17 << "\">" << html(Names[i].label) << "</text>"
            << "<rect x=\"" << labelWidth << "\" y=\"" << y + 4 << "\" width=\"" << std::max<size_t>(width, 1)
            << "\" height=\"18\" fill=\"" << Colours[i] << "\"/>"
            << "<text class=\"count\" x=\"" << labelWidth + width + 6 << "\" y=\"" << y + 17 << "\">" << st.count[i]
            << "</text></g></a>\n";
    }
    out << "</svg>\n<nav id=\"filters\"><a href=\"#\" data-class=\"\"><span class=\"label\">all servers</span> (<span "
           "class=\"count\">"
        << st.servers << "</span>)</a>";
    for (int i = 0; i < OutcomeCount; ++i)
        out << "<a href=\"#class=" << Names[i].id << "\" data-class=\"" << Names[i].id << "\"><span class=\"label\">"
            << html(Names[i].label) << "</span> (<span class=\"count\">" << st.count[i] << "</span>)</a>";
    out << "</nav>\n<p>Showing <span id=\"shown\">" << st.servers << "</span> of " << st.servers
        << " servers<span id=\"filter\"></span>. Open a server for what the rollout does there; a column's title "
           "sorts by it.</p>\n";

    out << "<table id=\"servers\"><thead><tr>";
    const char* const headings[][2] = {{"#", "num"},        {"Server", "text"},          {"Outcome", "text"},
                                       {"Exit code", "num"}, {"Restarts", "num"},        {"Devices removed", "num"},
                                       {"Service keys deleted", "num"}, {"Files replaced", "num"}, {"Reason", "text"}};
    for (const auto& h : headings) out << "<th data-type=\"" << h[1] << "\"><button>" << h[0] << "</button></th>";
    out << "</tr></thead>\n<tbody>\n";
    bool ok = eachRecord(recordsFile, error, [&](const ordered_json& r) {
        Outcome o = outcomeIn(r);
        int i = static_cast<int>(o);
        size_t index = r.value("index", static_cast<size_t>(0));
        const ordered_json& c = r.contains("changes") ? r["changes"] : ordered_json();
        auto number = [&](const char* field) -> std::string {
            return r.contains(field) && r[field].is_number() ? std::to_string(r[field].get<long long>()) : "";
        };
        auto cell = [&](const std::string& sort, const std::string& shown, bool numeric) {
            out << "<td" << (numeric ? " class=\"n\"" : "") << " data-sort=\"" << html(sort.empty() && numeric ? "-1" : sort)
                << "\">" << shown << "</td>";
        };
        out << "<tr class=\"server\" data-class=\"" << Names[i].id << "\" data-index=\"" << index << "\">";
        cell(std::to_string(index), std::to_string(index + 1), true);
        out << "<td data-sort=\"" << html(text(r, "server")) << "\"><details><summary>" << html(text(r, "server"))
            << "</summary>";
        writeDetails(out, r);
        out << "</details></td>";
        cell(std::to_string(i), "<span class=\"tag\" style=\"background:" + std::string(Colours[i]) + "\">" +
                                    html(Names[i].label) + "</span>", false);
        cell(number("exitCode"), number("exitCode"), true);
        cell(number("restarts"), number("restarts"), true);
        for (const char* field : {"devicesRemoved", "serviceKeysDeleted", "filesReplaced"}) {
            std::string n = c.is_object() ? std::to_string(listSize(c, field)) : "";
            cell(n, n, true);
        }
        cell(text(r, "reason"), html(text(r, "reason")), false);
        out << "</tr>\n";
    });
    out << "</tbody></table>\n<script>" << Script << "</script>\n</body></html>\n";
    return ok;
}

}  // namespace

const OutcomeName& outcomeName(Outcome o) { return Names[static_cast<int>(o)]; }

bool outcomeOf(const std::string& id, Outcome& o) {
    for (int i = 0; i < OutcomeCount; ++i)
        if (id == Names[i].id) {
            o = static_cast<Outcome>(i);
            return true;
        }
    return false;
}

ordered_json recordWithout(const Server& s, size_t fleetSize, const Settings& settings, Outcome o,
                           const std::string& reason) {
    ordered_json r;
    r["schema"] = SchemaVersion;
    r["index"] = s.index;
    r["fleetSize"] = fleetSize;
    r["server"] = s.name;
    r["source"] = s.source;
    r["command"] = settings.command;
    r["maxStarts"] = settings.maxStarts;
    r["outcome"] = outcomeName(o).id;
    r["reason"] = reason;
    r["exitCode"] = nullptr;
    r["restarts"] = nullptr;
    r["settled"] = false;
    r["machine"] = nullptr;
    r["runs"] = ordered_json::array();
    r["starts"] = ordered_json::array();
    r["changes"] = nullptr;
    return r;
}

std::string recordLine(const ordered_json& record) {
    return record.dump(-1, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

bool replaceFileWith(const std::string& path, const std::function<bool(std::ostream&)>& write, bool durable,
                     std::string& error) {
    fs::path target(path);
    fs::path beside = target.parent_path() / ("." + target.filename().string() + ".new-" + std::to_string(getpid()));
    bool ok;
    {
        std::ofstream out(beside, std::ios::binary | std::ios::trunc);
        ok = out && write(out);
        out.close();
        ok = ok && out;
    }
    if (ok && durable) {
        // On the disk before it takes the old file's place.
        int fd = ::open(beside.c_str(), O_RDONLY | O_CLOEXEC);
        ok = fd >= 0 && fsync(fd) == 0;
        if (fd >= 0) ::close(fd);
    }
    std::error_code ec;
    if (ok) fs::rename(beside, target, ec);
    if (!ok || ec) {
        fs::remove(beside, ec);
        if (error.empty()) error = "cannot write " + path;
        return false;
    }
    return true;
}

bool replaceFile(const std::string& path, const std::string& bytes, std::string& error, bool durable) {
    return replaceFileWith(
        path, [&](std::ostream& out) { return static_cast<bool>(out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))); },
        durable, error);
}

bool writeReports(const std::string& recordsFile, const std::string& outDir, std::string& recap, bool& allComplete,
                  std::string& error) {
    Stats st;
    bool ok = eachRecord(recordsFile, error, [&](const ordered_json& r) {
        Outcome o = outcomeIn(r);
        int i = static_cast<int>(o);
        ++st.servers;
        ++st.count[i];
        if (st.first[i].size() < FirstFew) st.first[i].emplace_back(text(r, "server"), text(r, "reason"));
        if (r.contains("exitCode") && r["exitCode"].is_number_integer()) ++st.exitCodes[r["exitCode"].get<int>()];
        else ++st.notRun;
        if (st.command.empty()) {
            st.command = text(r, "command");
            st.maxStarts = r.value("maxStarts", 0);
        }
        const ordered_json& c = r.contains("changes") ? r["changes"] : ordered_json();
        for (size_t t = 0; t < TotalCount; ++t) {
            size_t n = listSize(c, Totals[t].field);
            st.items[t] += n;
            st.onServers[t] += n ? 1 : 0;
        }
    });
    if (!ok) return false;
    // (A shard may hold no server: it has nothing that fails.)
    allComplete = st.count[0] + st.count[1] + st.count[2] == st.servers;
    recap = recapText(st);
    if (!replaceFile((fs::path(outDir) / "summary.txt").string(), recap, error)) return false;
    return replaceFileWith(
        (fs::path(outDir) / "report.html").string(),
        [&](std::ostream& page) { return writeHtml(recordsFile, st, page, error); }, true, error);
}

}  // namespace winsim::fleet
