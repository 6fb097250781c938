#include "journey.h"

#include "flow_support.h"

namespace journey {

namespace {

using flow::MediaSetup;
const std::string StagingTree = "C/WINNT/system32/drivers/korpa/win2000";

// The presets are English machines: yes to every prompt, then a key.
std::string presetAnswers() {
    std::string out;
    for (int i = 0; i < 24; ++i) out += "y\n";
    return out + "x";
}

// A console text as one quoted line (bytes that are not UTF-8, such as the
// code page texts of a language file, as U+FFFD).
std::string oneLine(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool sanitizerReport(const std::string& text) {
    return flow::contains(text, "AddressSanitizer") || flow::contains(text, "runtime error:") ||
           flow::contains(text, "LeakSanitizer");
}

std::string leftOpen(const nlohmann::json& report) {
    if (!report.is_object()) return "no exit report";
    if (report.value("openHandles", -1) != 0 || report.value("heapBlocks", -1) != 0) return "left open: " + report.dump();
    return "";
}

}  // namespace

void judgeStart(const sim::Machine& before, const sim::Machine& after,
                const std::function<void(const oracle::Claim&)>& judge) {
    std::string staged = after.systemDirectory + "\\drivers\\korpa\\win2000\\SETUP.EXE";
    std::string serviceConsole;
    for (size_t i = before.processes.size(); i < after.processes.size(); ++i) {
        const sim::ProcessRecord& p = after.processes[i];
        if (p.console == "service" && sim::equalNoCase(p.commandLine, staged)) serviceConsole = p.output;
        if (p.console == "new" && sim::equalNoCase(p.commandLine, staged + " -R"))
            judge({"the run at the logon", p.exitCode, p.output, false});
    }
    for (size_t i = before.eventLog.size(); i < after.eventLog.size(); ++i) {
        const sim::EventEntry& e = after.eventLog[i];
        const std::string tag = "mpsetup exit code: ";
        if (e.source == "mpsetup" && !e.strings.empty() && e.strings[0].rfind(tag, 0) == 0)
            judge({"the service phase", std::atoi(e.strings[0].c_str() + tag.size()), serviceConsole, true});
    }
}

std::string Scenario::name() const {
    static const char* const names[] = {", unattended", ", interactive", ", quiet"};
    return (preset.empty() ? "seed " + std::to_string(seed) : "preset " + preset) + names[static_cast<int>(way)];
}

std::string Scenario::commandLine() const {
    static const char* const options[] = {" /X", "", " /Q"};
    return MediaSetup + options[static_cast<int>(way)];
}

std::string Scenario::reproduction(const std::string& folder) const {
    std::string m = "M";
    std::string create = "winsim create " + m + (preset.empty() ? " --random " + std::to_string(seed)
                                                                 : " --preset " + preset);
    std::string input = !interactive() ? "" : preset.empty() ? " --input M/random/answers.txt" : " --input ANSWERS";
    return "  again: " + create + " && winsim run " + m + " --cwd 'D:\\WIN2000'" + input + " '" + commandLine() +
           "' && winsim restart " + m + "\n  (this run's machine: " + folder + ")";
}

void Journey::go() {
    machine_.traced = false;
    machine_.timeoutSeconds = RunLimitSeconds;
    start_ = machine_.state();
    const sim::Machine& start = start_;
    usbRoad_ = oracle::hasUsbManagementDevice(start);
    texts_ = oracle::textsFor(start.defaultLangId, MEDIA_DIR);
    administrator = start.account != "user";
    auto before = oracle::machineContent(machine_.folder());

    std::string answers;
    if (s_.interactive()) answers = s_.preset.empty() ? scenario::readFile(machine_.folder() + "/random/answers.txt")
                                                     : presetAnswers();
    scenario::RunResult first = machine_.run(s_.commandLine(), answers);
    firstExitCode = first.exitCode;
    judgeRun(s_.commandLine(), first, !s_.interactive());
    if (!problems.empty()) return;

    if (!administrator) {
        if (first.exitCode != 2) problems.push_back("a plain user's run ended with " + std::to_string(first.exitCode));
        std::string changed = oracle::contentChanges(before, oracle::machineContent(machine_.folder()));
        if (!changed.empty()) problems.push_back("a plain user's run changed the machine:\n" + changed);
        return;
    }

    int n = 0;
    for (; n < MaxRestarts && !settled(); ++n) {
        restart();
        if (!problems.empty()) return;
    }
    if (!settled()) {
        sim::Machine m = machine_.state();
        problems.push_back("not settled after " + std::to_string(n) + " restarts: " +
                           oracle::notSettled(m, usbRoad_ ? &start_ : nullptr));
        return;
    }
    restarts = n;
    checkRunAgainChangesNothing();
}

// Settled: nothing scheduled or pending, every device of the family bound.
bool Journey::settled() {
    sim::Machine m = machine_.state();
    return oracle::settled(m, usbRoad_ ? &start_ : nullptr);
}

void Journey::judge(const oracle::Claim& claim) {
    sim::Machine m = machine_.state();
    oracle::Claim c = claim;
    if (usbRoad_) c.usbRoadBefore = &start_;
    std::string wrong = oracle::disagreement(c, m, texts_);
    if (!wrong.empty()) problems.push_back(wrong + "\n  console: " + oneLine(claim.console));
}

void Journey::judgeRun(const std::string& what, const scenario::RunResult& r, bool quiet) {
    if (r.exitCode == 124) problems.push_back(what + " did not end within " + std::to_string(RunLimitSeconds) + " s");
    if (sanitizerReport(r.output)) problems.push_back(what + ": sanitizer report\n" + r.output);
    std::string open = leftOpen(r.report);
    if (!open.empty()) problems.push_back(what + ": " + open);
    if (problems.empty()) judge({what, r.exitCode, r.output, quiet});
}

// The next start of Windows, and what ran in it: the service phase (its
// outcome is its event, its console the service's) and the installer run at
// the logon.
void Journey::restart() {
    sim::Machine before = machine_.state();
    std::string reportFile = machine_.folder() + "/restart-report.json";
    scenario::RunResult r = machine_.winsim({"restart", "--report", reportFile});
    if (r.exitCode != 0) {
        problems.push_back("winsim restart ended with " + std::to_string(r.exitCode) + "\n" + r.output);
        return;
    }
    if (sanitizerReport(r.output)) problems.push_back("restart: sanitizer report\n" + r.output);
    nlohmann::json reports = nlohmann::json::parse(scenario::readFile(reportFile), nullptr, false);
    for (const auto& program : reports.is_array() ? reports : nlohmann::json::array()) {
        // A program that could not be started (an image that is not one)
        // has held nothing.
        if (program.value("exitCode", 0) < 0 && program.value("report", "") == "none") continue;
        std::string open = leftOpen(program);
        if (!open.empty()) problems.push_back(program.value("commandLine", "?") + " at the restart: " + open);
    }
    sim::Machine after = machine_.state();
    judgeStart(before, after, [this](const oracle::Claim& claim) { judge(claim); });
}

// A further quiet run on the settled machine ends with 0 and changes nothing
// but the record of programs run. After an interactive journey whose answers
// kept files newer than the media's (in the staging tree or where they are
// installed), the quiet run, which copies without asking, makes exactly
// those files the media's: that is its only change.
void Journey::checkRunAgainChangesNothing() {
    auto before = oracle::machineContent(machine_.folder());
    std::vector<std::string> declined;
    if (s_.interactive()) declined = oracle::filesUnlikeMedia(machine_.folder(), "C", MEDIA_DIR);
    std::string line = MediaSetup + " /Q";
    scenario::RunResult again = machine_.run(line, "");
    judgeRun(line + " on the settled machine", again, true);
    if (again.exitCode != 0)
        problems.push_back(line + " on the settled machine ended with " + std::to_string(again.exitCode) +
                           "\n  console: " + oneLine(again.output));
    auto after = oracle::machineContent(machine_.folder());
    if (!declined.empty()) {
        for (const auto& left : oracle::filesUnlikeMedia(machine_.folder(), StagingTree, MEDIA_DIR))
            problems.push_back(line + " on the settled machine left the staged " + left + " unlike the media's");
        oracle::setAsideMediaCopies(before, after, declined, MEDIA_DIR);
    }
    std::string changed = oracle::contentChanges(before, after);
    if (!changed.empty()) problems.push_back(line + " on the settled machine changed it:\n" + changed);
}

}  // namespace journey
