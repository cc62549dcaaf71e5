// Recorded runs against the unit simulator.
#include "support/recorded_runs.h"

#include <QJsonDocument>

#include <filesystem>
#include <sys/stat.h>

namespace brimwell::testing {

RecordedUnits::RecordedUnits(int count, const std::string& dataName) {
    image_ = patternBytes(3001, 11);
    data = dir.file(dataName);
    writeFile(data, image_);
    script = dir.file("run.sld");
    writeText(script, "_TC \"LOADR^M\"\n_QC \"ver\"\n_LF " + data + "\n_LA 8000\n_LV 3\n_LD\n");
    writeText(dir.file("empty.ini"), "");
    for (int i = 0; i < count; ++i) {
        units.push_back(std::make_unique<SimUnit>());
        const std::string n = std::to_string(i);
        units.back()->start(dir, {"--quiet", "--store", dir.file("store" + n), "--data-timeout", "20000"},
                            "unit" + n);
    }
}

CommandResult RecordedUnits::brimwell(const std::vector<std::string>& args,
                                      const std::vector<std::string>& env,
                                      const std::vector<std::string>& prefix) {
    std::vector<std::string> all(prefix.begin() + (prefix.empty() ? 0 : 1), prefix.end());
    std::string program = binDir() + "/brimwell";
    if (!prefix.empty() && prefix.front().find("setpriv") != std::string::npos) {
        // Run by another user: from a copy that user can reach (the build tree may be in a
        // directory only its owner may enter).
        static TempDir reachable;
        const std::string copy = reachable.file("brimwell");
        if (!std::filesystem::exists(copy)) std::filesystem::copy_file(program, copy);
        ::chmod(reachable.path().c_str(), 0755);
        program = copy;
    }
    if (!prefix.empty()) all.push_back(program), program = prefix.front();
    all.insert(all.end(), args.begin(), args.end());
    std::vector<std::string> environment{"BRIMWELL_TIME_SCALE=20", "BRIMWELL_RECORDS"};
    environment.insert(environment.end(), env.begin(), env.end());
    ChildProcess p;
    CommandResult r;
    if (!p.start(program, all, environment)) return r;
    r.exitCode = p.wait(std::chrono::seconds(180));
    for (const std::string& l : p.lines())
        r.out += l + "\n";
    r.err = p.stderrText();
    return r;
}

CommandResult RecordedUnits::run(const std::vector<std::string>& args, const std::vector<std::string>& env,
                                 const std::vector<std::string>& prefix) {
    std::vector<std::string> all{"run", script, "--settings", dir.file("empty.ini")};
    for (const auto& u : units)
        all.insert(all.end(), {"--port", u->device});
    all.insert(all.end(), args.begin(), args.end());
    return brimwell(all, env, prefix);
}

QJsonArray RecordedUnits::records(const std::string& url, const std::vector<std::string>& env) {
    const CommandResult r = brimwell({"records", "--records", url, "--json"}, env);
    return QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).array();
}

bool RecordedUnits::flashed(int i) const {
    return readFile(dir.file("store" + std::to_string(i) + "/LF_8000_3.bin")) == image_;
}

} // namespace brimwell::testing
