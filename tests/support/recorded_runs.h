// Units flashed by "brimwell run --records" against simulated units, and the records read back
// through "brimwell records --json": what the record tests and benchmarks share.
#pragma once

#include "support/sim_process.h"

#include <QJsonArray>

#include <memory>
#include <string>
#include <vector>

namespace brimwell::testing {

struct CommandResult {
    int exitCode = -1;
    std::string out, err;
};

class RecordedUnits {
  public:
    // `units` simulated units, each storing what it is sent in a directory of its own; a small
    // image and a script that asks the unit _QC "ver" and flashes the image.
    explicit RecordedUnits(int units, const std::string& dataName = "image.bin");

    // brimwell run on every unit (in one run with several --port), plus `args`; `env` as for
    // ChildProcess; `prefix` runs it through another program (setpriv, prlimit).
    CommandResult run(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                      const std::vector<std::string>& prefix = {});
    // brimwell with any arguments.
    static CommandResult brimwell(const std::vector<std::string>& args,
                                  const std::vector<std::string>& env = {},
                                  const std::vector<std::string>& prefix = {});
    // The runs of the store, newest first (empty when it could not be read).
    static QJsonArray records(const std::string& url, const std::vector<std::string>& env = {});
    // Unit i stored the image whole.
    bool flashed(int i) const;

    TempDir dir;
    std::string script, data;
    std::vector<std::unique_ptr<SimUnit>> units;

  private:
    std::vector<uint8_t> image_;
};

} // namespace brimwell::testing
