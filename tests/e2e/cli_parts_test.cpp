// The command-line runner's own parts: its option parsing, how its host shows messages, status
// texts and upload progress, how usb: port names pick among adapters, and the policy of its
// output files.
#include "app/cli/cli_host.h"
#include "app/cli/cli_main.h"
#include "app/cli/cli_options.h"
#include "app/cli/fleet_run.h"
#include "app/cli/output_file.h"
#include "serial/finder/port_finder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <optional>

using namespace brimwell::cli;

namespace {

struct OptionCase {
    std::vector<std::string> args; // after "brimwell run"
    bool ok;
    std::string script, port, settings, error;
    std::optional<int> baud;
};

TEST(RunOptions, Parsing) {
    const OptionCase cases[] = {
        {{"a.sld"}, true, "a.sld", "", "", "", std::nullopt},
        {{"a.sld", "--port", "COM2"}, true, "a.sld", "COM2", "", "", std::nullopt},
        {{"--port=/dev/ttyUSB0", "a.sld", "--baud", "115200"}, true, "a.sld", "/dev/ttyUSB0", "", "", 115200},
        {{"a.sld", "--settings", "x.ini", "--baud=9600"}, true, "a.sld", "", "x.ini", "", 9600},
        {{}, false, "", "", "", "no script given", std::nullopt},
        {{"a.sld", "b.sld"}, false, "", "", "", "more than one script given (a.sld, b.sld)", std::nullopt},
        {{"a.sld", "--port"}, false, "", "", "", "--port needs a value", std::nullopt},
        {{"a.sld", "--port="}, false, "", "", "", "--port needs a value", std::nullopt},
        {{"a.sld", "--baud", "921600"}, true, "a.sld", "", "", "", 921600},
        {{"a.sld", "--baud", "40"}, false, "", "", "", "--baud: unsupported line rate 40", std::nullopt},
        {{"a.sld", "--baud", "96OO"}, false, "", "", "", "--baud: unsupported line rate 96OO", std::nullopt},
        {{"a.sld", "-x"}, false, "", "", "", "unknown option -x", std::nullopt},
        {{"a.sld", "--port", "PCI:15"}, true, "a.sld", "PCI:15", "", "", std::nullopt},
        {{"a.sld", "--port", "PCI:16"}, false, "", "", "", "PCI:16: the PCI link is named PCI", std::nullopt},
        {{"a.sld", "--port=pci3"}, false, "", "", "", "pci3: the PCI link is named PCI", std::nullopt},
        // Several ports: no single port; the same one twice or PCI among them is refused.
        {{"a.sld", "--port", "COM3", "--port", "/dev/ttyUSB1"}, true, "a.sld", "", "", "", std::nullopt},
        {{"a.sld", "--port", "COM3", "--port=COM3"},
         false,
         "",
         "",
         "",
         "--port COM3 given twice",
         std::nullopt},
        {{"a.sld", "--port", "COM3", "--port", "PCI"},
         false,
         "",
         "",
         "",
         "--port PCI: the PCI link cannot",
         std::nullopt},
        {{"a.sld", "--events", "x"}, false, "", "", "", "--events needs a file descriptor", std::nullopt},
    };
    for (const auto& c : cases) {
        std::vector<std::string> store{"brimwell", "run"};
        store.insert(store.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (auto& s : store)
            argv.push_back(s.data());
        RunOptions o;
        std::string error;
        const std::string label = store.size() > 2 ? store[2] : "(none)";
        ASSERT_EQ(parseRunOptions(static_cast<int>(argv.size()), argv.data(), o, error), c.ok)
            << label << " " << error;
        if (!c.ok) {
            EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
            continue;
        }
        EXPECT_EQ(o.script, c.script);
        EXPECT_EQ(o.port, c.port);
        EXPECT_EQ(o.settings.value_or(""), c.settings);
        EXPECT_EQ(o.baud, c.baud);
    }
}

TEST(RunOptions, HelpRatesAndPortSuffixes) {
    std::string a0 = "brimwell", a1 = "run", a2 = "--help";
    char* argv[] = {a0.data(), a1.data(), a2.data()};
    RunOptions o;
    std::string error;
    ASSERT_TRUE(parseRunOptions(3, argv, o, error));
    EXPECT_TRUE(o.help);
    // Whether the device can make a rate is the device's to say.
    for (long r : {50L, 300L, 14400L, 115200L, 250000L, 921600L, 3000000L, 20000000L})
        EXPECT_TRUE(isSupportedBaud(r)) << r;
    for (long r : {0L, 49L, 20000001L, -9600L})
        EXPECT_FALSE(isSupportedBaud(r)) << r;
    for (const auto& [port, suffix] : {std::pair{"/dev/ttyUSB0", "dev_ttyUSB0"},
                                       {"rfc2217://rack3:4001", "rfc2217_rack3_4001"},
                                       {"usb:0403:6001:A1B2", "usb_0403_6001_A1B2"},
                                       {"/:/", "port"}})
        EXPECT_EQ(portFileSuffix(port), suffix);
}

// Captures what the host writes to its two streams.
struct Streams {
    std::FILE* progress = std::tmpfile();
    std::FILE* messages = std::tmpfile();
    ~Streams() {
        std::fclose(progress);
        std::fclose(messages);
    }
    static std::string read(std::FILE* f) {
        std::fflush(f);
        std::rewind(f);
        std::string s;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        return s;
    }
};

brimwell::script::ProgressInfo info(int blocks) {
    brimwell::script::ProgressInfo i;
    i.fileName = "fw.bin";
    i.checksumText = "1A2B";
    i.loadAddressText = "80000000";
    i.fileSizeText = std::to_string(blocks * 2000);
    i.maximum = blocks > 0 ? blocks : 1;
    i.blockCount = blocks;
    i.fileSize = blocks * 2000;
    i.blocks = brimwell::script::blocksOf(i.fileSize);
    return i;
}

TEST(CliHost, MessagesAndStatusTextsAreLines) {
    Streams s;
    CliHost host(s.progress, s.messages, false);
    host.report({brimwell::script::RunPart::DataFile, "Error opening fw.bin.\r",
                 brimwell::script::MessageKind::Error});
    host.setStatusText("SUCCESS. Reading script file complete");
    host.setStatusText(" ");
    host.report(
        {brimwell::script::RunPart::ScriptMessage, "two\nlines", brimwell::script::MessageKind::Information});
    EXPECT_EQ(Streams::read(s.messages),
              "Error opening fw.bin.\nStatus: SUCCESS. Reading script file complete\ntwo lines\n");
    EXPECT_EQ(host.messages(), (std::vector<std::string>{"Error opening fw.bin.\r", "two\nlines"}));
    EXPECT_EQ(Streams::read(s.progress), "");
}

// The verdict goes by what each box reports, not by its words: the script's own text and the closing
// box are never the failure, the first error box is, in the last line and in the record.
TEST(CliHost, FirstFailureDecidesTheSummaryAndTheRecord) {
    using brimwell::script::MessageKind;
    using brimwell::script::RunOutcome;
    using brimwell::script::RunPart;
    const brimwell::script::RunError closing{RunPart::Outcome, "Unsuccessful.  Upload terminated by user.",
                                             MessageKind::Error};
    struct Case {
        std::vector<brimwell::script::RunError> reports;
        RunOutcome outcome;
        bool stopped;
        std::string summary, failure; // failure: the record's, "" when it has none
    };
    const Case cases[] = {
        {{{RunPart::ScriptMessage, "Error codes follow", MessageKind::Information},
          {RunPart::Outcome, "Upload Complete.", MessageKind::Information}},
         RunOutcome::Completed,
         false,
         "Run completed.",
         ""},
        {{{RunPart::Setup, "Note: COM Port #1 is not responding.", MessageKind::Warning},
          {RunPart::DataFile, "Error opening fw.bin.\r", MessageKind::Error},
          {RunPart::Unit, "Error! No response detected with _QC command", MessageKind::Error},
          closing},
         RunOutcome::Failed,
         false,
         "Run failed: Error opening fw.bin.",
         "Error opening fw.bin.\r"},
        {{{RunPart::Link, "The connection to COM1 (/dev/ttyUSB0) was lost.", MessageKind::Error}},
         RunOutcome::Completed,
         false,
         "Run failed: The connection to COM1 (/dev/ttyUSB0) was lost. (the script ran on to its end)",
         "The connection to COM1 (/dev/ttyUSB0) was lost."},
        {{closing},
         RunOutcome::Failed,
         false,
         "Run failed: the script stopped without a message.",
         "Run failed: the script stopped without a message."},
        {{{RunPart::Watchdog, "Timeout error! RS232 connection failure!", MessageKind::Error}, closing},
         RunOutcome::Stopped,
         true,
         "Run stopped (SIGINT).",
         "Timeout error! RS232 connection failure!"},
    };
    for (const Case& c : cases) {
        Streams s;
        CliHost host(s.progress, s.messages, false);
        RunRecord record("a.sld", "COM1");
        host.setRecord(&record);
        for (const auto& r : c.reports)
            host.report(r);
        const RunSummary summary = runSummary(c.outcome, host.firstFailure(), "SIGINT", c.stopped);
        EXPECT_EQ(summary.text, c.summary);
        EXPECT_EQ(summary.completed, c.failure.empty()) << c.summary;
        record.finish(summary.completed ? kExitCompleted : kExitFailed,
                      outcomeOf(summary.completed ? kExitCompleted : kExitFailed, c.stopped), summary.text);
        EXPECT_EQ(record.json()["failure"].toString().toStdString(), c.failure) << c.summary;
    }
}

TEST(CliHost, ProgressLinesAtEveryTenthWhenNotATerminal) {
    Streams s;
    CliHost host(s.progress, s.messages, false);
    host.showProgress(info(20));
    for (int i = 0; i < 21; ++i)
        host.stepProgress(); // one step past the maximum stays at 100%
    host.hideProgress();
    const std::string out = Streams::read(s.progress);
    EXPECT_EQ(out.find("Upload fw.bin: 40000 bytes, checksum 1A2B, load address 80000000, 20 blocks\n"), 0u)
        << out;
    size_t lines = 0;
    for (char c : out)
        lines += c == '\n';
    EXPECT_EQ(lines, 12u) << out; // the header, the first block, and one line per further tenth
    EXPECT_NE(out.find("Progress fw.bin: block 1 of 20 (5%)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Progress fw.bin: block 2 of 20 (10%)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Progress fw.bin: block 20 of 20 (100%)\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("of 20 (105%)"), std::string::npos) << out;
}

TEST(CliHost, EmptyFileSaysNoBlockWasSent) {
    Streams s;
    CliHost host(s.progress, s.messages, false);
    host.showProgress(info(0));
    host.hideProgress();
    EXPECT_NE(Streams::read(s.progress).find("Progress fw.bin: no block sent\n"), std::string::npos);
}

TEST(CliHost, BarOnATerminalEndsItsLineBeforeAMessage) {
    Streams s;
    CliHost host(s.progress, s.progress, true); // one stream, so the order can be checked
    host.showProgress(info(4));
    host.stepProgress();
    host.report(
        {brimwell::script::RunPart::Setup, "Note: something", brimwell::script::MessageKind::Warning});
    host.stepProgress();
    host.hideProgress();
    const std::string out = Streams::read(s.progress);
    EXPECT_NE(out.find("\r[##########------------------------------]  25%  block 1/4\nNote: something\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\r[####################--------------------]  50%  block 2/4\n"), std::string::npos)
        << out;
}

struct UsbNameCase {
    const char* name;
    std::string device; // "" when refused
    std::vector<std::string> error;
};

TEST(UsbPortNames, PickOneAdapterOrSayWhyNot) {
    // A two-port adapter shares its serial number between its interfaces.
    const std::vector<brimwell::serial::SerialPortInfo> ports = {
        {"/dev/ttyUSB0", "/dev/serial/by-id/a-if00", "0403", "6010", "FTDI", "Dual", "D1", "ftdi_sio"},
        {"/dev/ttyUSB1", "/dev/serial/by-id/a-if01", "0403", "6010", "FTDI", "Dual", "D1", "ftdi_sio"},
        {"/dev/ttyACM0", "", "2e8a", "000a", "Pico", "Board", "E6:61", "cdc_acm"},
        {"/dev/ttyS0", "", "", "", "", "", "", "serial"}};
    const UsbNameCase cases[] = {
        {"usb:2E8A:a:E6:61",
         "/dev/ttyACM0",
         {}}, // hex in either case, short ids padded, colons in the serial
        {"USB:2e8a:000a", "/dev/ttyACM0", {}},
        {"usb:0403:6010:D1",
         "",
         {"matches 2 serial devices", "\n  usb:0403:6010:D1  /dev/ttyUSB0  /dev/serial/by-id/a-if00",
          "\n  usb:0403:6010:D1  /dev/ttyUSB1  /dev/serial/by-id/a-if01"}},
        {"usb:2e8a:000a:E6",
         "",
         {"usb:2e8a:000a:E6: no serial device of USB vendor 2e8a, product 000a with serial number E6"}},
        {"usb:0403:60100", "", {"usb:0403:60100: a USB port is named usb:VID:PID"}},
        {"usb:0403:6010:", "", {"a USB port is named"}},
        {"usb:04g3:6010", "", {"a USB port is named"}},
        {"usb::6010", "", {"a USB port is named"}},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(brimwell::serial::resolveUsbPortName(c.name, ports, error), c.device) << c.name;
        for (const auto& e : c.error)
            EXPECT_NE(error.find(e), std::string::npos) << c.name << ": missing " << e << "\n" << error;
    }
}

struct OutputCase {
    const char* name;
    std::function<std::string(brimwell::testing::TempDir&)> target; // makes it, returns its path
    std::string problem;                                            // the start of it, "" for none
    std::string written;                                            // "" when the write must fail
    std::function<void(brimwell::testing::TempDir&)> after = {};
};

ino_t inode(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(OutputFile, WrittenInPlaceOrReplacedWholeNeverOverTheRunsFiles) {
    static ino_t before = 0;
    static int pipeFds[2] = {-1, -1};
    const OutputCase cases[] = {
        {"RegularReplacedKeepingItsMode",
         [](auto& dir) {
             const std::string f = dir.write("r.json", "old");
             ::chmod(f.c_str(), 0640);
             before = inode(f);
             return f;
         },
         "", "new",
         [](auto& dir) {
             struct stat st {};
             ::stat(dir.file("r.json").c_str(), &st);
             EXPECT_EQ(st.st_mode & 0777, 0640u);
             EXPECT_NE(st.st_ino, before); // renamed over, so a reader never sees half of it
         }},
        {"LinkKeptItsTargetReplaced",
         [](auto& dir) {
             dir.write("t.json", "old");
             ::symlink("t.json", dir.file("l.json").c_str());
             return dir.file("l.json");
         },
         "", "new", [](auto& dir) { EXPECT_EQ(dir.read("t.json"), "new"); }},
        {"NewFile", [](auto& dir) { return dir.file("n.json"); }, "", "new"},
        {"Directory", [](auto& dir) { return dir.path(); }, "it is a directory", ""},
        {"TheRunsScript", [](auto& dir) { return dir.write("s.sld", "_LP 1\n"); }, "it is the run's script",
         "x"},
        {"FifoNobodyReads",
         [](auto& dir) {
             ::mkfifo(dir.file("f").c_str(), 0600);
             return dir.file("f");
         },
         "", ""},
        {"OwnDescriptor",
         [](auto&) {
             EXPECT_EQ(::pipe(pipeFds), 0);
             return "/dev/fd/" + std::to_string(pipeFds[1]);
         },
         "", "new",
         [](auto&) {
             char got[8] = {};
             EXPECT_EQ(::read(pipeFds[0], got, sizeof got), 3);
             EXPECT_EQ(std::string(got), "new");
             ::close(pipeFds[0]);
             ::close(pipeFds[1]);
         }},
    };
    for (const OutputCase& c : cases) {
        brimwell::testing::TempDir dir;
        const std::string path = c.target(dir);
        OutputFile out("report", path);
        EXPECT_EQ(out.problem({{"script", dir.file("s.sld")}}).substr(0, c.problem.size()), c.problem)
            << c.name;
        if (!c.problem.empty()) continue;
        std::string error;
        EXPECT_EQ(out.write("new", error), !c.written.empty()) << c.name << ": " << error;
        if (path.rfind(dir.path(), 0) == 0 && !c.written.empty()) {
            EXPECT_EQ(dir.read(path.substr(dir.path().size() + 1)), c.written) << c.name;
        }
        if (c.after) c.after(dir);
    }
    // A recorder that wrote nothing leaves an older file as it was.
    brimwell::testing::TempDir dir;
    OutputFile trace("trace", dir.write("t", "older"));
    std::string error;
    EXPECT_FALSE(trace.staging(error).empty()) << error;
    EXPECT_TRUE(trace.commit(error)) << error;
    EXPECT_EQ(dir.read("t"), "older");
}

} // namespace
