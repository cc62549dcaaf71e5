// "brimwell station" started by a test or a benchmark, its event lines followed (piped, it prints
// one line per event: "TIME PORT SERIAL what happened").
#pragma once

#include "support/event_pump.h"
#include "support/sim_process.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace brimwell::testing {

struct StationRun {
    ChildProcess process;

    // Runs the station with `args` after the command; runs at BRIMWELL_TIME_SCALE 20 with its lock
    // files in `dir`, recording only where `args` say.
    bool start(const TempDir& dir, const std::vector<std::string>& args, std::vector<std::string> env = {}) {
        std::vector<std::string> all{"station"};
        all.insert(all.end(), args.begin(), args.end());
        env.insert(env.begin(),
                   {"BRIMWELL_TIME_SCALE=20", "BRIMWELL_RECORDS", "BRIMWELL_LOCK_DIR=" + dir.path()});
        return process.start(binDir() + "/brimwell", all, env);
    }
    // How many of the station's lines hold `text`.
    int count(const std::string& text) {
        const std::vector<std::string> lines = process.lines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(text) != std::string::npos;
        }));
    }
    // Waits until `times` lines hold `text`; false after `limit` or when the station ended first.
    bool says(const std::string& text, int times = 1, std::chrono::seconds limit = std::chrono::seconds(60)) {
        waitUntil([&] { return count(text) >= times || !process.running(); },
                  static_cast<int>(std::chrono::milliseconds(limit).count()));
        return count(text) >= times;
    }
    std::string output() {
        std::string text;
        for (const std::string& l : process.lines())
            text += l + "\n";
        return text + process.stderrText();
    }
};

} // namespace brimwell::testing
