// Whole scripts against a fake unit: the line format, the fifteen commands, their escapes and
// messages, the readiness chain, branches, and how each run ends.
#include "support/script_test_support.h"

#include <gtest/gtest.h>

#include <ostream>

#include <regex>

#include <sys/stat.h>

namespace brimwell::script::test {
namespace {

const std::string kDone = "Upload Complete.";
const std::string kUnsuccessful = "Unsuccessful.  Upload terminated by user.";
const std::string kSuccessStatus = "SUCCESS. Reading script file complete";
const std::string kCancelledStatus = "Unsuccessful. Upload terminated by user/error(s).";
const std::string kNotLoader = "Error! Unit not in Loader Mode! Exiting script";
const std::string kNoResponse = "Error! Unable to get response from unit(_TC)! Exiting script";
const std::string kWatchdog =
    "Timeout error! RS232 connection failure! Please check RS232 connection. Exiting script.";
// A query answer long enough that its closing prompt counts (the capture needs 10 bytes first).
const std::string kPad = "\r\n\r\n\r\n\r\n";

struct ScriptCase {
    const char* name;
    std::string script; // %D% stands for the test's directory
    std::function<void(Bench&)> setup;
    std::string wire;
    std::vector<std::string> messages;
    std::string status;
    RunOutcome outcome;
};

void PrintTo(const ScriptCase& c, std::ostream* os) {
    *os << c.name;
}

void loaderUnit(Bench& b) {
    b.link.unit.options.startInLoader = true;
}
void abcFile(Bench& b) {
    b.link.unit.options.startInLoader = true;
    b.dir.write("abc.bin", "abc");
}
void versionUnit(Bench& b) {
    b.link.unit.options.echo = true;
    b.link.unit.options.answers["ver"] = "V1.08 BOOT";
    b.link.unit.options.answers["st"] = kPad + "OK";
}

std::string expand(std::string text, const std::string& dir) {
    for (std::size_t at; (at = text.find("%D%")) != std::string::npos;)
        text.replace(at, 3, dir);
    return text;
}

using Setup = std::function<void(Bench&)>;

// A run that completes: `before` are the messages ahead of the closing "Upload Complete.".
ScriptCase completes(const char* name, std::string script, Setup setup, std::string wire,
                     std::vector<std::string> before = {}) {
    before.push_back(kDone);
    return {name,   std::move(script), std::move(setup),     std::move(wire),
            before, kSuccessStatus,    RunOutcome::Completed};
}

// A run that stops the script with `message`, then the unsuccessful-upload message.
ScriptCase fails(const char* name, std::string script, Setup setup, std::string wire, std::string message) {
    return {name, std::move(script), std::move(setup), std::move(wire), {std::move(message), kUnsuccessful},
            " ",  RunOutcome::Failed};
}

const Setup silentUnit = [](Bench& b) { b.link.unit.options.dead = true; };

// A run whose data file `file` was not uploaded for `reason`: the messages `before`, then a closing
// message and status that name the file, never success.
ScriptCase fileFails(const char* name, std::string script, Setup setup, std::string wire,
                     std::vector<std::string> before, const std::string& file, const std::string& reason) {
    const std::string failure = "Data file " + file + " was not uploaded: " + reason + ".";
    before.push_back("Unsuccessful.  " + failure);
    return {name,   std::move(script),          std::move(setup),  std::move(wire),
            before, "Unsuccessful. " + failure, RunOutcome::Failed};
}

// Runs `act` when the script shows the message "act" (between two of its lines).
Setup onMessageAct(std::function<void(Bench&)> act, Setup before = nullptr) {
    return [act, before](Bench& b) {
        if (before) before(b);
        b.host.onMessage = [&b, act](const std::string& text) {
            if (text == "act") act(b);
        };
    };
}
const std::string kLoadAbc = "_LF %D%/abc.bin\n_LA 1\n_LV 1\n_DM \"act\"\n_LD\n_SC \"on\"\n";

const std::vector<ScriptCase>& cases() {
    static const std::vector<ScriptCase> table = {
        // ---- line format
        completes("EmptyScript", "", nullptr, ""),
        completes("EscapeAndAppendedReturn", "_SC \"ver^M\"\n", nullptr, "ver\r\r"),
        completes("LastCharacterIsDroppedWhateverItIs", "_SC \"ver^M\"  \n", nullptr, "ver\r\" \r"),
        completes("IndentedLineRunsAsWritten", "   \t _SC \"a\"\n", nullptr, "a\r"),
        completes("TextBeforeUnderscoreIsSkipped", "step 1: _SC \"a\"\n", nullptr, "a\r"),
        completes("CommentLine", "; _SC \"a\"\n", nullptr, ""),
        completes("SemicolonBeforeUnderscoreIsComment", "x; _SC \"a\"\n", nullptr, ""),
        completes("NoFinalLineFeed", "_SC \"a\"\n_SC \"b\"", nullptr, "a\rb\r"),
        completes("CrLfAndBlankLines", "\r\n\r\n_SC \"a\"\r\n\r\n; note\r\n_SC \"b\"\r\n", nullptr, "a\rb\r"),
        completes("UnknownCodesDoNothing", "_sc \"a\"\n_XX \"b\"\n_S\n_SCX\n_SC\n", nullptr, ""),
        completes("QuoteAsLastCharacterGivesEmptyArgument", "_SC \"\n", nullptr, "\r"),
        // ---- messages and delays
        completes("DisplayMessageWithEscape", "_DM \"Hello^MWorld\"\n", nullptr, "", {"Hello\rWorld"}),
        completes("DelayThenSend", "_DY 3\n_SC \"x\"\n", nullptr, "x\r"),
        // ---- loader mode
        completes("LoaderModeAlreadyOn", "_TC \"^M\"\n", loaderUnit, "\r"),
        completes("LoaderModeAfterCommand", "_TC \"^M\"\n_SC \"go\"\n", nullptr, "\rLOADR\r\rgo\r"),
        fails(
            "UnitStaysInNormalFirmware", "_TC \"^M\"\n_SC \"never\"\n",
            [](Bench& b) { b.link.unit.options.stayNormal = true; }, "\rLOADR\r\r\r\r\r", kNotLoader),
        fails("SilentUnit", "_TC \"^M\"\n", silentUnit, "\rLOADR\r\r\r\r\r", kNoResponse),
        fails("FailingLastLineWithoutLineFeed", "_TC \"^M\"", silentUnit, "\rLOADR\r\r\r\r\r", kNoResponse),
        // ---- queries and branches
        completes("QueryThenExactMatch",
                  "_QC \"ver\"\n_CE \"V1.08 BOOT\" _SC \"yes\"\n_CE \"V1.08\" _SC \"no\"\n", versionUnit,
                  "ver\ryes\r"),
        completes("QueryThenContains", "_QC \"ver\"\n_CS \"1.08\" _SC \"yes\"\n_CS \"2.00\" _SC \"no\"\n",
                  versionUnit, "ver\ryes\r"),
        completes(
            "QueryEscapeBecomesSpace", "_QC \"a^Mb\"\n_CE \"AB\" _SC \"y\"\n",
            [](Bench& b) { b.link.unit.options.answers["a b"] = kPad + "AB"; }, "a b\ry\r"),
        completes("ReturnEscapesNeverMatchAnAnswer",
                  "_QC \"ver\"\n_CS \"BOOT\\r\" _SC \"no\"\n_CE \"V1.08 BOOT\\n\" _SC \"no\"\n", versionUnit,
                  "ver\r"),
        completes("ExactMatchWithNothingAfter", "_QC \"ver\"\n_CE \"V1.08 BOOT\"   \n_SC \"on\"\n",
                  versionUnit, "ver\ron\r", {"Error! No line found after successful _CR"}),
        completes("ContainsWithNothingAfter", "_QC \"ver\"\n_CS \"BOOT\"\n", versionUnit, "ver\r",
                  {"Error! No line found after successful _CS"}),
        fails(
            "ChainedLoaderModeFailureStopsScript", "_QC \"st\"\n_CE \"OK\" _TC \"^M\"\n_SC \"after\"\n",
            [](Bench& b) {
                versionUnit(b);
                b.link.unit.options.stayNormal = true;
            },
            "st\r\rLOADR\r\r\r\r\r", kNotLoader),
        completes("ChainedBranchOfBranch", "_QC \"st\"\n_CS \"O\" _CE \"OK\" _SC \"deep\"\n", versionUnit,
                  "st\rdeep\r"),
        completes("EmptyAnswer", "_QC \"x\"\n_SC \"on\"\n",
                  [](Bench& b) { b.link.unit.options.answers["x"] = kPad; }, "x\ron\r",
                  {"Error! No response detected with _QC command"}),
        {"QueryWatchdog",
         "_QC \"ver\"\n_SC \"late\"\n",
         silentUnit,
         "ver\r",
         {kWatchdog, "Error! No response detected with _QC command", kUnsuccessful},
         kCancelledStatus,
         RunOutcome::Failed},
        completes(
            "EarlyPromptDoesNotEndCapture", "_QC \"p\"\n_CE \"#>xyz12345678\" _SC \"yes\"\n",
            [](Bench& b) { b.link.unit.options.answers["p"] = "#>xyz12345678"; }, "p\ryes\r"),
        // ---- data files
        completes("FullLoad", "_LF %D%/abc.bin\n_LA 80000000\n_LV 1.08\n_LD\n", abcFile,
                  "\rLF 80000000 3 126 1.08\rabc\r"),
        completes("LoadWithOwnKeyword", "_LK %D%/abc.bin\n_LC \"QQ\"\n_LA 100\n_LV v2\n_LD\n", abcFile,
                  "\rQQ 100 3 126 V2\rabc\r"),
        completes("LkKeyword", "_LK %D%/abc.bin\n_LA 100\n_LV v2\n_LD\n", abcFile,
                  "\rLK 100 3 126 V2\rabc\r"),
        completes("ChainStepsWithoutTheirFlagDoNothing", "_LA 1\n_LV 1\n_LD\n_LF %D%/abc.bin\n_LV 1\n_LD\n",
                  abcFile, ""),
        // A data file's chain that breaks lets the script go on (as far as the format says) but never
        // ends in success; the file is named in the closing message and status.
        fileFails("MissingDataFile", "_LF %D%/none.bin\n_LA 1\n_LV 1\n_LD\n_SC \"on\"\n", loaderUnit, "on\r",
                  {"Error! Unable to open file %D%/none.bin. Cannot upload file."}, "%D%/none.bin",
                  "it does not exist"),
        fileFails("DataFileIsADirectory", "_LF %D%\n_LA 1\n_LV 1\n_LD\n", loaderUnit, "",
                  {"Error! Unable to open file %D%. Cannot upload file. It is a directory."}, "%D%",
                  "it is a directory"),
        fileFails(
            "DataFileIsAFifo", "_LF %D%/fifo\n_LA 1\n_LV 1\n_LD\n",
            [](Bench& b) { ASSERT_EQ(::mkfifo(b.dir.file("fifo").c_str(), 0600), 0); }, "",
            {"Error! Unable to open file %D%/fifo. Cannot upload file. It is a FIFO (named pipe), not a "
             "file."},
            "%D%/fifo", "it is a FIFO (named pipe), not a file"),
        // Checked before the load command, so the unit is never left in the middle of a load.
        fileFails(
            "DataFileGoneBeforeTheLoadCommand", kLoadAbc,
            onMessageAct([](Bench& b) { std::filesystem::remove(b.dir.file("abc.bin")); }, abcFile), "on\r",
            {"act", "Error! Data file %D%/abc.bin cannot be uploaded: it does not exist. Nothing was sent to "
                    "the unit."},
            "%D%/abc.bin", "it does not exist"),
        fileFails(
            "DataFileChangedBeforeTheLoadCommand", kLoadAbc,
            onMessageAct([](Bench& b) { b.dir.write("abc.bin", "abd"); }, abcFile), "on\r",
            {"act",
             "Error! Data file %D%/abc.bin cannot be uploaded: it changed after its checksum was taken. "
             "Nothing was sent to the unit."},
            "%D%/abc.bin", "it changed after its checksum was taken"),
        fileFails(
            "NoPromptBeforeUpload", "_LF %D%/abc.bin\n_LA 1\n_LV 1\n_LD\n_SC \"x\"\n",
            [](Bench& b) {
                abcFile(b);
                b.link.unit.options.dead = true;
            },
            "\r\r", {"Error! Unable to receive prompt before upload.... Exiting script."}, "%D%/abc.bin",
            "the unit gave no prompt before the load command"),
        completes("TwoFilesInARow",
                  "_LF %D%/abc.bin\n_LA 1\n_LV a\n_LD\n_LF %D%/abc.bin\n_LA 2\n_LV b\n_LD\n_LD\n", abcFile,
                  "\rLF 1 3 126 A\rabc\r\rLF 2 3 126 B\rabc\r"),
        // ---- format limits
        completes("LineOf199Characters", "_SC \"" + std::string(193, 'x') + "\"\n", nullptr,
                  std::string(193, 'x') + "\r"),
        fails("LineOf200Characters", "_SC \"" + std::string(194, 'x') + "\"\n_SC \"b\"\n", nullptr, "",
              "Error! A command line of the script is longer than 199 characters. Exiting script."),
        fails(
            "ScriptIsADirectory", "",
            [](Bench& b) {
                std::filesystem::remove(b.dir.file("run.sld"));
                std::filesystem::create_directory(b.dir.file("run.sld"));
            },
            "", "Error opening file %D%/run.sld for read."),
        fails(
            "ScriptOpenFailure", "", [](Bench& b) { std::filesystem::remove(b.dir.file("run.sld")); }, "",
            "Error opening file %D%/run.sld for read."),
    };
    return table;
}

class ScriptRun : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(ScriptRun, WireMessagesStatusOutcome) {
    const ScriptCase& c = GetParam();
    Bench b;
    const std::string dir = b.dir.file("");
    const std::string base = dir.substr(0, dir.size() - 1); // without the trailing slash
    const std::string script = b.dir.write("run.sld", expand(c.script, base));
    if (c.setup) c.setup(b);
    const RunOutcome outcome = b.engine.runPickedScript(script);

    EXPECT_EQ(b.link.wire, expand(c.wire, base));
    std::vector<std::string> expected;
    for (const auto& m : c.messages)
        expected.push_back(expand(m, base));
    EXPECT_EQ(b.host.messages, expected);
    // The closing box ends every run; the first error box says what failed.
    static const std::map<std::string, RunPart> kFailedPart = {
        {"UnitStaysInNormalFirmware", RunPart::Unit}, {"QueryWatchdog", RunPart::Watchdog},
        {"ContainsWithNothingAfter", RunPart::Unit},  {"DataFileIsADirectory", RunPart::DataFile},
        {"NoPromptBeforeUpload", RunPart::Unit},      {"LineOf200Characters", RunPart::Script},
        {"ScriptOpenFailure", RunPart::Script}};
    ASSERT_FALSE(b.host.reports.empty());
    EXPECT_EQ(b.host.reports.back().what, RunPart::Outcome);
    const auto failure = std::find_if(b.host.reports.begin(), b.host.reports.end(),
                                      [](const RunError& r) { return r.failure(); });
    if (const auto part = kFailedPart.find(c.name); part != kFailedPart.end()) {
        ASSERT_NE(failure, b.host.reports.end());
        EXPECT_EQ(failure->what, part->second);
    }
    EXPECT_EQ(b.host.lastStatus(), expand(c.status, base));
    EXPECT_EQ(outcome, c.outcome);
    EXPECT_EQ(b.engine.outcome(), c.outcome);
    ASSERT_EQ(b.host.finished.size(), 1u);
    EXPECT_EQ(b.host.finished[0], c.outcome);
    // Every run, however it ends, gives the buttons back and leaves the progress window hidden.
    ASSERT_FALSE(b.host.buttons.empty());
    EXPECT_FALSE(b.host.buttons.front());
    EXPECT_TRUE(b.host.buttons.back());
    EXPECT_FALSE(b.host.progressVisible);
    EXPECT_TRUE(b.engine.uploadIdle());
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptRun, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- single commands and their effect on the engine's state ---------------------------------

TEST(ScriptCommands, PostUploadWaitTakesOnlyPositiveSeconds) {
    struct Row {
        const char* line;
        int32_t expected;
    };
    for (const Row& r : {Row{"_LP 0", 3600}, Row{"_LP 5", 5000}, Row{"_LP -3", 3600}, Row{"_LP x", 3600},
                         Row{"_LP", 3600}, Row{"_LP   12s", 12000}}) {
        Bench b;
        EXPECT_TRUE(b.line(r.line));
        EXPECT_EQ(b.engine.postUploadWait(), r.expected) << r.line;
        EXPECT_EQ(b.engine.lineIndex(), 1) << r.line;
    }
}

TEST(ScriptCommands, DelayOfThirtyIsThreeHundredPassesEachLettingEventsRun) {
    Bench b;
    const int before = b.host.pumps;
    const int64_t start = b.clock.ms();
    EXPECT_TRUE(b.line("_DY 30"));
    EXPECT_EQ(b.host.pumps - before, 301);
    EXPECT_EQ(b.clock.ms() - start, 300);

    for (const char* none : {"_DY 0", "_DY -4", "_DY"}) {
        Bench quiet;
        EXPECT_TRUE(quiet.line(none));
        EXPECT_LE(quiet.host.pumps, 1) << none;
    }
}

TEST(ScriptCommands, VersionTextIsCapitalisedOrTheFileDate) {
    Bench b;
    const std::string file = b.dir.write("d.bin", "abc");
    // The load command's fields: one hexadecimal address (blanks after it change nothing), a
    // version without control characters; a space in it is only worth a note.
    struct Row {
        std::string address, version, expected; // expected: the version text, "" when _LV does not run
        std::string message;                    // the start of the one message shown, "" for none
    };
    for (const Row& r :
         {Row{"0", "1.08a", "1.08A", ""}, Row{"0x80000000 ", "x-y_z", "X-Y_Z", ""},
          Row{"0", "v2 beta ", "V2 BETA ", "Note: the version text 'V2 BETA ' holds a space"},
          Row{"0", "1.0\t", "", "Error! The version text holds a control character (byte 0x09)"},
          Row{"80100000 0 0", "1", "",
              "Error! The load address '80100000 0 0' is more than one hexadecimal number"},
          Row{"8000zz00", "1", "", "Error! The load address '8000zz00' is not hexadecimal"}}) {
        b.host.messages.clear();
        b.engine.setVersionReady(false);
        EXPECT_TRUE(b.line("_LF " + file));
        EXPECT_TRUE(b.line("_LA " + r.address));
        EXPECT_TRUE(b.line("_LV " + r.version));
        EXPECT_EQ(b.engine.versionReady(), !r.expected.empty()) << r.address << " " << r.version;
        EXPECT_EQ(r.expected.empty() ? r.expected : b.engine.versionText(), r.expected);
        EXPECT_EQ(b.host.messages.size(), r.message.empty() ? 0u : 1u) << r.address << " " << r.version;
        EXPECT_EQ(b.host.messages.empty() ? "" : b.host.messages[0].substr(0, r.message.size()), r.message);
    }
    b.host.messages.clear();
    EXPECT_TRUE(b.line("_LA 0")); // FileReady was consumed
    EXPECT_FALSE(b.engine.addressReady());

    EXPECT_TRUE(b.line("_LF " + file));
    EXPECT_TRUE(b.line("_LA 0"));
    EXPECT_TRUE(b.line("_LV date"));
    EXPECT_TRUE(std::regex_match(
        b.engine.versionText(),
        std::regex(R"(([1-9]|1[0-2])/([1-9]|[12][0-9]|3[01])/\d{4}_([0-9]|1[0-9]|2[0-3]):[0-5]\d:[0-5]\d)")))
        << b.engine.versionText();
    EXPECT_TRUE(b.host.messages.empty());
}

TEST(ScriptCommands, DateOfAFileThatVanishedKeepsDateAndShowsWhy) {
    Bench b;
    const std::string file = b.dir.write("d.bin", "abc");
    EXPECT_TRUE(b.line("_LF " + file));
    EXPECT_TRUE(b.line("_LA 0"));
    std::filesystem::remove(file);
    EXPECT_TRUE(b.line("_LV DATE"));
    EXPECT_EQ(b.engine.versionText(), "DATE");
    EXPECT_TRUE(b.engine.versionReady());
    EXPECT_EQ(b.host.messages, std::vector<std::string>{"Error opening file " + file});
}

TEST(ScriptCommands, AddressOfAFileThatVanishedLeavesTheChainBroken) {
    Bench b;
    const std::string file = b.dir.write("d.bin", "abc");
    EXPECT_TRUE(b.line("_LF " + file));
    std::filesystem::remove(file);
    EXPECT_TRUE(b.line("_LA 0"));
    EXPECT_FALSE(b.engine.addressReady());
    EXPECT_FALSE(b.engine.fileReady());
    EXPECT_EQ(b.host.messages,
              std::vector<std::string>{"Error opening file " + file + ". Unable to get file checksum"});
    EXPECT_EQ(b.engine.messageText(), b.host.messages.back());
}

TEST(ScriptCommands, DataFileCommandsSetTheKeywordEvenWithoutAName) {
    Bench b;
    EXPECT_TRUE(b.line("_LK"));
    EXPECT_EQ(b.engine.loadKeyword(), "LK");
    EXPECT_TRUE(b.line("_LF"));
    EXPECT_EQ(b.engine.loadKeyword(), "LF");
    EXPECT_TRUE(b.line("_LC \"KW\""));
    EXPECT_EQ(b.engine.loadKeyword(), "KW");
    EXPECT_FALSE(b.engine.fileReady());
    EXPECT_TRUE(b.host.messages.empty());
}

TEST(ScriptCommands, PromptCharacterCommandChangesTheLoaderPrompt) {
    Bench b;
    b.link.unit.options.startInLoader = true;
    b.link.unit.options.loaderPrompt = '$';
    EXPECT_TRUE(b.line("_PC \"$\""));
    EXPECT_EQ(b.engine.loaderPromptChar(), '$');
    EXPECT_TRUE(b.line("_TC \"^M\""));
    EXPECT_EQ(b.link.wire, "\r");
    EXPECT_EQ(b.engine.promptTimeout(), 265);
    EXPECT_EQ(b.engine.expectedPrompt(), '$');
}

TEST(ScriptCommands, FailedLoaderModeLeavesShortWaitAndMainPrompt) {
    Bench b;
    b.link.unit.options.stayNormal = true;
    EXPECT_FALSE(b.line("_TC \"^M\""));
    EXPECT_EQ(b.engine.promptTimeout(), 65);
    EXPECT_EQ(b.engine.expectedPrompt(), '#');
    EXPECT_EQ(b.link.waitTicks, (std::vector<int32_t>{65, 65, 65, 65, 65}));
    EXPECT_EQ(b.engine.lineIndex(), 0); // a stopping command does not advance
}

TEST(ScriptCommands, QueryAnswerDropsEchoAndLineEnds) {
    Bench b;
    b.link.unit.options.echo = true;
    b.link.unit.options.answers["ver"] = "V1.08 BOOT";
    EXPECT_TRUE(b.line("_QC \"ver\""));
    EXPECT_EQ(b.engine.answerText(), "V1.08 BOOT");
    EXPECT_EQ(b.engine.minAnswerLength(), 10);
    EXPECT_FALSE(b.engine.captureActive());
    EXPECT_EQ(b.engine.cancelled(), 0);
}

TEST(ScriptCommands, QueryOnAClosedPortDoesNotReuseTheLastAnswer) {
    Bench b;
    b.link.unit.options.answers["ver"] = "V1.08 BOOT";
    EXPECT_TRUE(b.line("_QC \"ver\""));
    ASSERT_EQ(b.engine.answerText(), "V1.08 BOOT");
    b.link.open = false;
    EXPECT_TRUE(b.line("_QC \"ver\""));
    EXPECT_EQ(b.engine.answerText(), "");
    EXPECT_EQ(b.host.messages, std::vector<std::string>{"Error! No response detected with _QC command"});
}

TEST(ScriptCommands, BranchChainTakesTwoSlots) {
    Bench b;
    b.engine.setAnswerText("OK");
    const std::string script = b.dir.write("b.sld", "_CE \"OK\" _SC \"a\"\n_SC \"b\"\n");
    b.engine.resetLineTable();
    b.engine.setScriptPath(script);
    EXPECT_TRUE(b.engine.runScript());
    EXPECT_EQ(b.link.wire, "a\rb\r");
    EXPECT_EQ(b.engine.lineIndex(), 3);
    EXPECT_EQ(std::string(b.engine.lineTable()[0].data()), "_SC \"a\"");
    EXPECT_EQ(std::string(b.engine.lineTable()[2].data()), "_SC \"b\"");
}

TEST(ScriptCommands, BranchWithoutClosingQuoteComparesToTheLineEnd) {
    Bench b;
    b.engine.setAnswerText("OK");
    EXPECT_TRUE(b.line("_CE \"OK"));
    EXPECT_TRUE(b.host.messages.empty() == false);
    EXPECT_EQ(b.host.messages.back(), "Error! No line found after successful _CR");
    EXPECT_EQ(b.link.wire, "");
}

TEST(ScriptFormat, ThreeHundredCommandLinesFitAndOneMoreStops) {
    for (int lines : {300, 301}) {
        Bench b;
        std::string script;
        for (int i = 0; i < lines; ++i)
            script += "_XX\n";
        script += "_SC \"end\"\n";
        const RunOutcome outcome = b.run(script);
        // 300 lines fill the table; the closing _SC is already the 301st.
        EXPECT_EQ(outcome, RunOutcome::Failed) << lines;
        EXPECT_EQ(b.link.wire, "") << lines;
        EXPECT_EQ(b.host.messages,
                  (std::vector<std::string>{
                      "Error! The script has more than 300 command lines. Exiting script.", kUnsuccessful}))
            << lines;
    }
    Bench fits;
    std::string script;
    for (int i = 0; i < 299; ++i)
        script += "; comment\n_XX\n\n";
    script += "_SC \"end\"";
    EXPECT_EQ(fits.run(script), RunOutcome::Completed);
    EXPECT_EQ(fits.link.wire, "end\r");
    EXPECT_EQ(fits.engine.lineIndex(), 300);
}

TEST(ScriptFormat, ReaderStatusAndButtonsAroundARun) {
    Bench b;
    b.run("_SC \"a\"\n");
    EXPECT_EQ(b.host.statuses,
              (std::vector<std::string>{"Reading script file. Please wait....", kSuccessStatus}));
    EXPECT_EQ(b.host.buttons, (std::vector<bool>{false, true}));
}

TEST(ScriptFormat, NoLinkTellsTheOperator) {
    Bench b;
    b.engine.setLinkMode(kLinkNone);
    b.run("_SC \"a\"\n");
    EXPECT_EQ(b.host.messages,
              (std::vector<std::string>{"Error! No serical communication opened.  Check RS232 connection.",
                                        kDone}));
}

TEST(ScriptFormat, SettingsCarryIntoTheEngine) {
    Bench b;
    LoaderSettings s = parseSettings("a=1\nb\nc\nd\ne\nf\ng\nh\ni\nj\nk\nl\nm\nn= %\no=$\np\nq\nr\ns=BOOT\n"
                                     "t\nu\nv\nw\nx=KX\n");
    b.engine.applySettings(s);
    EXPECT_EQ(b.engine.mainPromptChar(), '%');
    EXPECT_EQ(b.engine.loaderPromptChar(), '$');
    EXPECT_EQ(b.engine.loaderModeCommand(), "BOOT\r");
    EXPECT_EQ(b.engine.loadKeyword(), "KX");
    b.link.unit.options.mainPrompt = '%';
    b.link.unit.options.stayNormal = true;
    EXPECT_FALSE(b.line("_TC \"^M\""));
    EXPECT_EQ(b.link.wire, "\rBOOT\r\r\r\r\r");
    EXPECT_EQ(b.host.messages.back(), kNotLoader);
}

} // namespace
} // namespace brimwell::script::test
