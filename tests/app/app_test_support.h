// Shared pieces of the window tests: answering dialogs from code, running the unit simulator on a
// pseudo-terminal, and pumping events until something happens.
#pragma once

#include "support/event_pump.h"
#include "support/scripted_dialogs.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brimwell::testing {

// brimwell-unit-sim on a pseudo-terminal reachable at `linkPath`.
class UnitSim {
  public:
    UnitSim(const std::string& linkPath, const std::string& storeDir,
            const std::vector<std::string>& extra = {});
    // Any simulator program with its arguments, started once `appears` exists.
    UnitSim(std::vector<std::string> argv, const std::string& appears);
    ~UnitSim();
    UnitSim(const UnitSim&) = delete;
    UnitSim& operator=(const UnitSim&) = delete;
    bool running() const;

  private:
    mutable ChildProcess process_;
    std::string link_;
};

// A fresh directory under the system's temporary directory, removed with its contents at the end.
using testing::TempDir;

std::string buildDir();
std::string simPath();
std::string boardSimPath();
std::string readText(const std::string& path);
// Files in `dir` (names only), sorted.
std::vector<std::string> listDir(const std::string& dir);

// Points COMn at `path` (a device that may not exist).
void mapCom(int n, const std::string& path);

} // namespace brimwell::testing
