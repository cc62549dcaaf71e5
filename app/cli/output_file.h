// A file a run writes for the record (its report, trace and log; later a station's records), under
// one policy:
//  - before the port opens, a target that cannot be written, or that is one of the run's own files
//    (its script, settings or data files, links followed), is refused;
//  - a target that is not a regular file (a device, a FIFO, /dev/stdout or another descriptor's
//    name) is written where it is, never renamed over;
//  - a regular file, or a new one, is replaced whole at once: written beside it and renamed over it;
//  - a file that cannot be written is reported and never changes the unit's verdict: a run whose
//    unit passed but whose record is incomplete ends with kExitRecordIncomplete (exitWithRecord).
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace brimwell::cli {

// The run's own files as (what it is, path): {"script", "run.sld"}, {"data file", "config.bin"}.
using RunInputs = std::vector<std::pair<std::string, std::string>>;

class OutputFile {
  public:
    // `what` names it in messages ("report", "trace", "log").
    OutputFile(std::string what, std::string path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& what() const { return what_; }
    const std::string& path() const { return path_; }

    // Why the target cannot take the run's output ("" when it can).
    std::string problem(const RunInputs& inputs) const;
    // True when `other` would land in the same file (two outputs must not share one).
    bool sameFileAs(const OutputFile& other) const;

    // Writes `bytes` by the policy; false with "cannot write the WHAT PATH: reason" in `error`.
    bool write(std::string_view bytes, std::string& error);

    // For a writer that needs a file name (the port's recorders): an empty file of its own to write
    // first ("" with the reason in `error` when none can be made); commit() then puts what was
    // written in place. Nothing written leaves the target as it was.
    std::string staging(std::string& error);
    bool commit(std::string& error);

  private:
    struct Target {
        enum class Kind { Missing, Regular, Directory, Descriptor, Direct } kind = Kind::Missing;
        std::string path; // links followed
        int fd = -1;      // Descriptor: one of the program's own descriptors
        int error = 0;    // the reason it cannot be looked at (Missing with another errno than ENOENT)
        dev_t dev = 0;
        ino_t ino = 0;
        mode_t mode = 0;
    };
    Target resolve() const;
    std::string failed(const std::string& reason) const;
    // Writes `bytes` into the target in place (Descriptor and Direct).
    std::string writeInPlace(std::string_view bytes, const Target& t) const;

    std::string what_, path_, staging_;
    bool stagedBeside_ = false; // the staging file is beside the target, ready to be renamed over it
};

} // namespace brimwell::cli
