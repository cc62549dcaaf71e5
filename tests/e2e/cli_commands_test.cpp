// The program as a new user meets it, without a display: help, version, the window's refusal, the
// time-scale guard, the pre-flight check of scripts with the data-file lookup, and the serial
// devices of an emulated machine (umockdev) with their USB names.
#include "support/emulated_devices.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

using namespace brimwell::testing;

namespace {

struct Outcome {
    int code = -1;
    std::string out, err;
};

// `wrapper` is a command line the program runs under (its last word "--" or the like).
Outcome runProgram(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                   const std::string& cwd = {}, std::vector<std::string> wrapper = {}) {
    std::vector<std::string> all{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "BRIMWELL_TIME_SCALE"};
    all.insert(all.end(), env.begin(), env.end());
    ChildProcess p;
    p.workingDir = cwd;
    Outcome o;
    wrapper.push_back(binDir() + "/brimwell");
    wrapper.insert(wrapper.end(), args.begin(), args.end());
    const std::string program = wrapper.front();
    wrapper.erase(wrapper.begin());
    if (!p.start(program, wrapper, all)) return o;
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
        {"Help", {"--help"}, {}, 0, {"run SCRIPT", "check SCRIPT", "ports [--json]", "--version"}},
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
    std::filesystem::create_directory(cwd.file("dir.bin"));
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
         "_XX\n_tc \"a\"\n;_XX\nfoo _ZZ\n_LG x\n",
         1,
         {"1: unknown command code _XX", "2: command code _tc is _TC in another case (codes are case-sens",
          "4: unknown command code _ZZ",
          "5: command code _LG is one character off _LP, _LC, _LF, _LK, _LA, _LV, _LD;", " 4 findings"}},
        {"CarriageReturnsAlone",
         "_TC \"LOADR^M\"\r_LF data.bin\r",
         1,
         {"1: the lines end in a carriage return alone; the reader sees one line"}},
        {"CarriageReturnInsideALine",
         "; note\r_LF data.bin\n_LD\n",
         1,
         {"1: a carriage return alone inside the line"}},
        {"LoadFields",
         "_LF data.bin\n_LA 80100000 0 0\n_LV 1.0 beta\n_LV a\x01\n",
         1,
         {"2: load address '80100000 0 0' is more than one hexadecimal number",
          "3: version text '1.0 beta' holds a space",
          "4: version text holds a control character (byte 0x01)"}},
        {"LoadWithoutChain",
         "_LF data.bin\n_LV 1\n_LD\n",
         1,
         {"3: _LD without a preceding _LF, _LA and _LV"}},
        {"MissingDataFile",
         "_LF missing.bin\n",
         1,
         {"1: data file missing.bin cannot be opened (looked in %C% and %D%)"}},
        {"DataFileIsADirectory",
         "_LF dir.bin\n",
         1,
         {"1: data file dir.bin cannot be uploaded: it is a directory"}},
        {"WaitNotANumber",
         "_LP abc\n_LP 0\n_LP\n",
         1,
         {"1: _LP value 'abc' is not a number of seconds above 0", "2: _LP value '0' is not",
          "3: _LP gives no number of seconds"}},
        {"CommentsOnly", "; nothing to do\n\n", 1, {" the script has no command lines"}},
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

struct PortsCase {
    const char* name;
    std::vector<std::string> args;
    std::string shell; // run first by sh under the emulation, then the program; "" runs it alone
    int code;
    std::vector<std::string> expected; // regular expressions, each found in the output
    bool oneAdapter = false;           // the machine has one adapter, not two
};

TEST(Program, ListsAndChoosesEmulatedUsbAdapters) {
    const std::string umockdev = "/usr/bin/umockdev-run";
    ASSERT_TRUE(std::filesystem::exists(umockdev)) << "umockdev is not installed (scripts/install-deps)";
    TempDir dir;
    const std::string devices =
        dir.write("two.umockdev",
                  emulatedAdapter(0, "BW0001") + emulatedAdapter(1, "BW0002") + emulatedMachinePorts(1));
    const std::string one = dir.write("one.umockdev", emulatedAdapter(0, "BW0001") + emulatedMachinePorts(1));
    const std::string script = dir.write("s.sld", "_DM \"hello\"\n");
    const std::string empty = dir.write("empty.ini", "");
    // A name only the sleeping process of the row goes by: a C1 control and a byte that is no UTF-8.
    const std::string oddName = "\"$L/$(printf 'x\\233y\\377')\"";
    const std::string byId = "/dev/serial/by-id/usb-Brimwell_Ltd_Loader_Cable_BW0002-if00-port0";
    const std::string row = " +0403:6001 +Brimwell Ltd +Loader Cable +BW000";
    const PortsCase cases[] = {
        {"Table",
         {"ports"},
         "",
         0,
         {"/dev/ttyUSB0 +/dev/serial/by-id/usb-Brimwell_Ltd_Loader_Cable_BW0001-if00-port0" + row +
              "1 +ftdi_sio +free",
          "/dev/ttyUSB1 +" + byId + row + "2 +ftdi_sio +free\n"}},
        {"Json",
         {"ports", "--json"},
         "",
         0,
         {"\"device\": \"/dev/ttyUSB1\",[^}]*\"inUse\": false,[^}]*\"portName\": \"usb:0403:6001:BW0002\""
          ",[^}]*\"serialNumber\": \"BW0002\""}},
        {"HeldOpen",
         {"ports"},
         "exec 3</dev/ttyUSB1",
         0,
         {"ttyUSB0 .* free\n", "ttyUSB1 .* sh \\(pid [0-9]+\\)\n"}},
        {"LockFiles",
         {"ports"},
         "printf '%10d\\n' $$ >$L/LCK..ttyUSB0; printf '  99999999\\n' >$L/LCK..ttyUSB1",
         0,
         {"ttyUSB0 .* sh \\(pid [0-9]+, lock file .*/LCK..ttyUSB0\\)\n", "ttyUSB1 .* free\n"}},
        {"BySerial",
         {"run", script, "--port", "usb:0403:6001:BW0002"},
         "",
         0,
         {"Running .* on usb:0403:6001:BW0002 \\(/dev/ttyUSB1\\) at", "hello"}},
        {"ThroughComNumber",
         {"run", script, "--port", "COM7"},
         "export BRIMWELL_COM7=usb:0403:6001:BW0001",
         0,
         {"Running .* on /dev/ttyUSB0 \\(COM7\\) at"}},
        {"Ambiguous",
         {"run", script, "--port", "usb:0403:6001"},
         "",
         2,
         {"usb:0403:6001 matches 2 serial devices; name one by its serial number or its /dev/serial/by-id "
          "link:\n"
          " +usb:0403:6001:BW0001 +/dev/ttyUSB0 .*\n +usb:0403:6001:BW0002 +/dev/ttyUSB1 +" +
          byId}},
        {"NoneMatches",
         {"run", script, "--port", "usb:403:6001:BW0009"},
         "",
         2,
         {"usb:403:6001:BW0009: no serial device of USB vendor 0403, product 6001 with serial number BW0009 "
          "is"}},
        {"Malformed",
         {"run", script, "--port", "usb:0403"},
         "",
         2,
         {"usb:0403: a USB port is named usb:VID:PID"}},
        {"LockFileForms",
         {"ports"},
         "printf '  1\\n' >$L/LCK..ttyUSB0; ln -s /bin/sleep " + oddName + "; " + oddName +
             " 5 & printf '%10d\\n' $! >$L/LCK..ttyUSB1",
         0,
         {"ttyUSB0 .* \\(pid 1, lock file .*/LCK..ttyUSB0\\)\n",
          "ttyUSB1 .* x\\\\x9by\\\\xff \\(pid [0-9]+, lock file"}},
        {"Console", {"ports"}, "", 0, {"/dev/ttyS0 .* console\n"}},
        {"SearchLeavesSeveralAdapters",
         {"run", script, "--settings", empty},
         "",
         2,
         {"no unit answered on /nonexistent/com2 \\(COM2\\); 2 USB serial adapters are connected, .*name "
          "the unit's with --port:\n +usb:0403:6001:BW0001 +/dev/ttyUSB0 .*\n +usb:0403:6001:BW0002 "}},
        {"SearchUsesTheOneAdapter",
         {"run", script, "--settings", empty},
         "",
         0,
         {"Running .* on /dev/ttyUSB0 at", "hello"},
         true},
        {"LockedThroughLink",
         {"run", script, "--port", byId},
         "exec 3</dev/ttyUSB1; flock 3",
         2,
         {"cannot open " + byId + ": .*another program holds it \\(sh \\(pid"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> wrapper{umockdev, "-d", c.oneAdapter ? one : devices, "--"};
        if (!c.shell.empty()) wrapper.insert(wrapper.end(), {"sh", "-c", c.shell + "; \"$0\" \"$@\""});
        // COM1 is the emulated console; COM2 has no device here, so no search reaches this machine's own.
        const std::string locks = dir.path() + "/" + c.name;
        std::filesystem::create_directory(locks);
        const Outcome o = runProgram(c.args,
                                     {"BRIMWELL_LOCK_DIR=" + locks, "L=" + locks,
                                      "BRIMWELL_COM2=/nonexistent/com2", "BRIMWELL_TIME_SCALE=50"},
                                     {}, wrapper);
        EXPECT_EQ(o.code, c.code) << c.name << "\n" << o.out << o.err;
        for (const auto& e : c.expected)
            EXPECT_TRUE(std::regex_search(o.out + o.err, std::regex(e)))
                << c.name << ": missing " << e << "\n"
                << o.out << o.err;
    }
}

} // namespace
