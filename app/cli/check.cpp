// The script check: the reader's line rules, then per command line the argument forms, the data
// file chain (_LF/_LK, _LA, _LV, _LD) and the format's limits.
#include "app/cli/check.h"

#include "script/data_file.h"
#include "script/file_pieces.h"
#include "script/load_fields.h"
#include "script/script_engine.h"
#include "serial/shown_text.h"

#include <array>
#include <cctype>
#include <cstdio>

namespace brimwell::cli {
namespace {

using script::ScriptEngine;

constexpr std::array<const char*, 15> kCodes{"_SC", "_TC", "_DM", "_DY", "_LP", "_LC", "_LF", "_LK",
                                             "_LA", "_LV", "_LD", "_PC", "_QC", "_CE", "_CS"};
constexpr std::array<const char*, 6> kQuotedCodes{"_SC", "_TC", "_DM", "_LC", "_PC", "_QC"};

template <size_t N> bool oneOf(const std::string& code, const std::array<const char*, N>& set) {
    for (const char* c : set)
        if (code == c) return true;
    return false;
}

// What an unknown code is a slip away from: a real code in another case ("_tc"), else the real
// codes one character off ("_LG"); "" when it is neither. Such a line reads as the command and
// does nothing.
std::string nearMiss(const std::string& code) {
    if (code.size() != 3) return {};
    std::string oneOff;
    for (const char* known : kCodes) {
        int off = 0;
        for (size_t i = 0; i < 3; ++i)
            off += std::toupper(static_cast<unsigned char>(code[i])) != known[i];
        if (off == 0) return "is " + std::string(known) + " in another case (codes are case-sensitive)";
        if (off == 1) oneOff += std::string(oneOff.empty() ? "" : ", ") + known;
    }
    return oneOff.empty() ? oneOff : "is one character off " + oneOff;
}

bool blank(const std::string& s) {
    return s.find_first_not_of(' ') == std::string::npos;
}

class ScriptCheck {
  public:
    ScriptCheck(std::string scriptPath, std::vector<CheckFinding>& out)
        : scriptPath_(std::move(scriptPath)), out_(out) {}

    int commandLines() const { return slots_; }

    void commandLine(int line, const std::string& text) {
        if (static_cast<int>(text.size()) > ScriptEngine::kMaxLineLength)
            add(line, "the command line is " + std::to_string(text.size()) + " characters long; at most " +
                          std::to_string(ScriptEngine::kMaxLineLength) + " are read, the run stops here");
        command(line, text);
    }

  private:
    enum class Chain { None, Named, Address, Version };

    void add(int line, std::string text) { out_.push_back({line, std::move(text)}); }

    void takeSlot(int line) {
        if (++slots_ == ScriptEngine::kLineSlots + 1)
            add(line, "more than " + std::to_string(ScriptEngine::kLineSlots) +
                          " command lines (a matching _CE/_CS takes one more for its command); the run stops "
                          "here");
    }

    // The word argument: after the first space, further spaces skipped. False when there is no space.
    static bool word(const std::string& text, std::string& arg) {
        const size_t sp = text.find(' ');
        if (sp == std::string::npos) return false;
        arg = text.substr(std::min(text.find_first_not_of(' ', sp), text.size()));
        return true;
    }

    // Text between the code and the first quote must be blank; false when there is no quote.
    bool opening(int line, const std::string& code, const std::string& text, size_t& quote) {
        quote = text.find('"');
        if (quote == std::string::npos) {
            add(line, code + " expects a quoted text (\"...\") and has none; the line does nothing");
            return false;
        }
        if (!blank(text.substr(3, quote - 3)))
            add(line, "text outside quotes before the quoted text: '" + text.substr(3, quote - 3) + "'");
        return true;
    }

    void quoted(int line, const std::string& code, const std::string& text) {
        size_t q = 0;
        if (!opening(line, code, text, q)) return;
        // The argument ends one character before the line's end, whatever that character is.
        if (text.back() == '"' && q + 1 < text.size()) return;
        const size_t close = q + 1 < text.size() ? text.find('"', q + 1) : std::string::npos;
        if (close == std::string::npos)
            add(line, "the quoted text has no closing quote; its last character is dropped");
        else
            add(line, "text outside quotes after the closing quote: '" + text.substr(close + 1) +
                          "'; it becomes part of the text");
    }

    void branch(int line, const std::string& code, const std::string& text) {
        size_t q = 0;
        if (!opening(line, code, text, q)) return;
        const size_t close = text.find('"', q + 1);
        if (close == std::string::npos) {
            add(line, "the quoted text has no closing quote");
            return;
        }
        const size_t from = text.find_first_not_of(' ', close + 1);
        if (from == std::string::npos) {
            add(line, "nothing to run after the quoted text; a match only shows an error");
            return;
        }
        const std::string rest = text.substr(from);
        if (rest[0] != '_') {
            add(line, "text outside quotes after the quoted text: '" + rest + "' is not a command");
            return;
        }
        command(line, rest);
    }

    void dataFile(int line, const std::string& code, const std::string& text) {
        std::string name;
        if (!word(text, name) || name.empty()) {
            add(line, code + " names no data file");
            return;
        }
        const script::DataFileLookup lookup = script::findDataFile(name, scriptPath_);
        if (!lookup.found.empty()) dataFiles.push_back(lookup.found);
        if (lookup.found.empty() && lookup.problem != script::kDataFileMissing)
            add(line, "data file " + serial::escapeFileName(name) + " cannot be uploaded: " + lookup.problem);
        else if (lookup.found.empty())
            add(line, "data file " + serial::escapeFileName(name) + " cannot be opened (looked in " +
                          serial::escapeFileName(lookup.places) + ")");
        chain_ = Chain::Named;
    }

    // _LP takes whole seconds above 0; anything else leaves the wait after each upload as it was.
    void postUploadWait(int line, const std::string& text) {
        std::string value;
        if (!word(text, value) || value.empty()) {
            add(line, "_LP gives no number of seconds; the line does nothing");
        } else if (std::atol(value.c_str()) <= 0) {
            add(line, "_LP value '" + value +
                          "' is not a number of seconds above 0; the wait after each upload "
                          "stays as it was");
        }
    }

    void address(int line, const std::string& text) {
        std::string value;
        if (!word(text, value) || value.empty()) {
            add(line, "_LA gives no load address");
        } else if (const script::FieldProblem problem = script::loadAddressProblem(value);
                   !problem.text.empty()) {
            add(line, problem.text + "; the run fails there");
        }
        if (chain_ == Chain::Named) chain_ = Chain::Address;
    }

    void version(int line, const std::string& text) {
        std::string value;
        if (word(text, value))
            if (const script::FieldProblem problem = script::versionTextProblem(value); !problem.text.empty())
                add(line, problem.text + (problem.fails ? "; the run fails there" : ""));
        if (chain_ == Chain::Address) chain_ = Chain::Version;
    }

    void command(int line, const std::string& text) {
        takeSlot(line);
        const std::string code = text.substr(0, 3);
        if (!oneOf(code, kCodes)) {
            if (const std::string slip = nearMiss(code); !slip.empty())
                out_.push_back(
                    {line, "command code " + code + " " + slip + "; the line would do nothing", true});
            else
                add(line, "unknown command code " + code + "; the line does nothing");
        } else if (oneOf(code, kQuotedCodes)) {
            quoted(line, code, text);
        } else if (code == "_CE" || code == "_CS") {
            branch(line, code, text);
        } else if (code == "_LF" || code == "_LK") {
            dataFile(line, code, text);
        } else if (code == "_LA") {
            address(line, text);
        } else if (code == "_LP") {
            postUploadWait(line, text);
        } else if (code == "_LV") {
            version(line, text);
        } else if (code == "_LD") {
            if (chain_ != Chain::Version)
                add(line, "_LD without a preceding _LF, _LA and _LV; nothing is uploaded");
            chain_ = Chain::None;
        }
    }

  public:
    std::vector<std::string> dataFiles; // every data file the script names that was found

  private:
    std::string scriptPath_;
    std::vector<CheckFinding>& out_;
    int slots_ = 0;
    Chain chain_ = Chain::None;
};

} // namespace

bool checkScript(const std::string& path, std::vector<CheckFinding>& findings, std::string& error,
                 std::vector<std::string>* dataFiles) {
    if ((error = script::notRegularFile(path)) != "") return false;
    std::string text;
    script::PieceReading how;
    how.limit = kScriptFileLimit;
    how.whole = true;
    int failure = 0;
    const script::ReadEnd end = script::readInPieces(
        path, how,
        [&](std::string_view piece) {
            text.append(piece);
            return true;
        },
        failure);
    if ((error = script::readEndText(end, how, failure)) != "") return false;

    ScriptCheck check(path, findings);
    const bool noLineFeed = text.find('\n') == std::string::npos;
    int number = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        // As the reader does: the carriage return of a CR LF pair is not part of the line.
        if (end < text.size() && !line.empty() && line.back() == '\r') line.pop_back();
        ++number;
        // A carriage return alone ends no line for the reader: what follows it, commands too, is
        // taken as part of this line (or of a comment). Only the file's last byte is harmless.
        if (const size_t cr = line.find('\r'); cr != std::string::npos && start + cr + 1 < text.size())
            findings.push_back({number,
                                noLineFeed ? "the lines end in a carriage return alone; the reader sees one "
                                             "line (save the script with LF or CR LF line ends)"
                                           : "a carriage return alone inside the line; what follows it is "
                                             "part of this line, not a line of its own",
                                true});
        // The first "_" or ";" decides the kind of line; what comes before it is skipped.
        const size_t kind = line.find_first_of("_;");
        if (kind != std::string::npos && line[kind] == '_') check.commandLine(number, line.substr(kind));
        start = end + 1;
    }
    // A valid script, but one that does nothing is rarely what a line meant to run.
    if (check.commandLines() == 0)
        findings.push_back(
            {0, "the script has no command lines (empty, or comments only); a run sends nothing"});
    if (dataFiles) *dataFiles = std::move(check.dataFiles);
    return true;
}

std::string refusingFindings(const std::string& path, const std::vector<CheckFinding>& findings) {
    std::string lines;
    for (const CheckFinding& f : findings)
        if (f.refuses) lines += path + ":" + std::to_string(f.line) + ": " + f.text + "\n";
    return lines;
}

int checkMain(int argc, char** argv) {
    const char* usage = "usage: brimwell check SCRIPT\n"
                        "  reports what would make a run of SCRIPT fail or do nothing; no port is opened\n"
                        "exit status: 0 no findings, 1 findings, 2 usage error or unreadable script\n";
    std::string script;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            return 0;
        }
        if ((arg.size() > 1 && arg[0] == '-') || !script.empty()) {
            std::fprintf(stderr, "brimwell check: unexpected argument %s\n%s", arg.c_str(), usage);
            return 2;
        }
        script = arg;
    }
    if (script.empty()) {
        std::fprintf(stderr, "brimwell check: no script given\n%s", usage);
        return 2;
    }
    std::vector<CheckFinding> findings;
    std::string error;
    const std::string shown = serial::escapeFileName(script);
    if (!checkScript(script, findings, error)) {
        std::fprintf(stderr, "brimwell check: cannot read script %s: %s\n", shown.c_str(), error.c_str());
        return 2;
    }
    for (const CheckFinding& f : findings)
        if (f.line > 0)
            std::printf("%s:%d: %s\n", shown.c_str(), f.line, f.text.c_str());
        else
            std::printf("%s: %s\n", shown.c_str(), f.text.c_str());
    if (findings.empty()) {
        std::printf("%s: no findings\n", shown.c_str());
        return 0;
    }
    std::printf("%s: %zu finding%s\n", shown.c_str(), findings.size(), findings.size() == 1 ? "" : "s");
    return 1;
}

} // namespace brimwell::cli
