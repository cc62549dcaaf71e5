// The program as a new user meets it, without a display: help, version, the window's refusal, the
// time-scale guard, and the pre-flight check of scripts with the data-file lookup.
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace brimwell::testing;

namespace {

struct Outcome {
    int code = -1;
    std::string out, err;
};

Outcome runProgram(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                   const std::string& cwd = {}) {
    std::vector<std::string> all{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "BRIMWELL_TIME_SCALE"};
    all.insert(all.end(), env.begin(), env.end());
    ChildProcess p;
    p.workingDir = cwd;
    Outcome o;
    if (!p.start(binDir() + "/brimwell", args, all)) return o;
    o.code = p.wait(std::chrono::seconds(60));
    for (const auto& l : p.lines())
        o.out += l + "\n";
    o.err = p.stderrText();
    return o;
}

struct CommandCase {
    const char* name;
    std::vector<std::string> args, env;
    int code;
    std::vector<std::string> expected; // each in standard output or standard error
};

TEST(Program, WorksWithoutADisplay) {
    TempDir dir;
    writeText(dir.file("ok.sld"), "_LP 1\n");
    const CommandCase cases[] = {
        {"Help", {"--help"}, {}, 0, {"run SCRIPT", "check SCRIPT", "--version"}},
        {"ShortHelp", {"-h"}, {}, 0, {"run SCRIPT", "check SCRIPT"}},
        {"Version", {"--version"}, {}, 0, {"brimwell " BRIMWELL_VERSION "\n"}},
        {"Window", {}, {}, 2, {"no display", "use \"brimwell run SCRIPT\""}},
        {"UnknownCommand", {"flash"}, {}, 2, {"unknown command flash"}},
        {"ScaleZero",
         {"check", dir.file("ok.sld")},
         {"BRIMWELL_TIME_SCALE=0"},
         2,
         {"BRIMWELL_TIME_SCALE=0 is refused"}},
        {"ScaleTooLarge", {"check", dir.file("ok.sld")}, {"BRIMWELL_TIME_SCALE=1001"}, 2, {"is refused"}},
        {"ScaleNotANumber", {"check", dir.file("ok.sld")}, {"BRIMWELL_TIME_SCALE=fast"}, 2, {"is refused"}},
        {"ScaleAnnounced",
         {"check", dir.file("ok.sld")},
         {"BRIMWELL_TIME_SCALE=20"},
         0,
         {"every wait runs 20 times faster than real time", "no findings"}},
    };
    for (const auto& c : cases) {
        const Outcome o = runProgram(c.args, c.env);
        EXPECT_EQ(o.code, c.code) << c.name << "\n" << o.out << o.err;
        for (const auto& e : c.expected)
            EXPECT_NE((o.out + o.err).find(e), std::string::npos) << c.name << ": missing " << e << "\n"
                                                                  << o.out << o.err;
    }
}

struct CheckCase {
    const char* name;
    std::string script;
    int code;
    std::vector<std::string> findings; // "LINE: text" parts; %C% the working and %D% the script's directory
};

TEST(Program, CheckReportsWhatARunWouldMeet) {
    TempDir scripts, cwd;
    writeText(scripts.file("data.bin"), "0123456789");
    std::string many;
    for (int i = 0; i < 301; ++i)
        many += "_LP 1\n";
    const CheckCase cases[] = {
        {"Clean",
         "; comment _XX\n  _TC \"LOADR^M\"\n_QC \"ver\"\n_CS \"V1.08\" _LP 1\n_LF data.bin\n_LA 0x8000\n_LV "
         "1.08\n_LD\r\n",
         0,
         {" no findings"}},
        {"LongLine",
         "_DM \"" + std::string(200, 'x') + "\"\n",
         1,
         {"1: the command line is 206 characters long"}},
        {"TooManyLines", many, 1, {"301: more than 300 command lines"}},
        {"UnknownCodes",
         "_XX\n_tc \"a\"\n;_XX\nfoo _ZZ\n",
         1,
         {"1: unknown command code _XX", "2: unknown command code _tc", "4: unknown command code _ZZ",
          " 3 findings"}},
        {"LoadWithoutChain",
         "_LF data.bin\n_LV 1\n_LD\n",
         1,
         {"3: _LD without a preceding _LF, _LA and _LV"}},
        {"MissingDataFile",
         "_LF missing.bin\n",
         1,
         {"1: data file missing.bin cannot be opened (looked in %C% and %D%)"}},
        {"AddressNotHex",
         "_LF data.bin\n_LA 8000zz00\n",
         1,
         {"2: load address '8000zz00' is not hexadecimal"}},
        {"TextOutsideQuotes",
         "_TC LOADR\n_DM \"done\" now\n_SC x\"ver\"\n_CE \"OK\" reboot\n_QC \"ver\n",
         1,
         {"1: _TC expects a quoted text", "2: text outside quotes after the closing quote: ' now'",
          "3: text outside quotes before the quoted text: ' x'",
          "4: text outside quotes after the quoted text: 'reboot'",
          "5: the quoted text has no closing quote"}},
    };
    for (const auto& c : cases) {
        writeText(scripts.file("s.sld"), c.script);
        const Outcome o = runProgram({"check", scripts.file("s.sld")}, {}, cwd.path());
        EXPECT_EQ(o.code, c.code) << c.name << "\n" << o.out << o.err;
        for (std::string f : c.findings) {
            for (const auto& [mark, dir] : {std::pair{"%C%", cwd.path()}, std::pair{"%D%", scripts.path()}})
                if (const auto at = f.find(mark); at != std::string::npos) f.replace(at, 3, dir);
            EXPECT_NE(o.out.find(scripts.file("s.sld") + ":" + f), std::string::npos)
                << c.name << ": missing " << f << "\n"
                << o.out;
        }
    }
}

} // namespace
