// The engine on the PCI board link: one run per mapped board, Stop across boards, byte offers
// with their retries, prompt polling and a query answered through the board.
#include "support/script_test_support.h"

#include <gtest/gtest.h>

namespace brimwell::script::test {
namespace {

// Boards that answer each carriage return with a prompt, optionally refusing bytes for a while.
class FakeBoards : public BoardLink {
  public:
    struct Board {
        std::string received;
        std::string pending; // bytes the board offers to the host
        int busyOffers = 0;  // refuse this many offers before taking a byte
        int endExchanges = 0;
        int gets = 0;
        std::string line;
    };
    std::map<int, Board> boards;
    char prompt = '>';
    std::map<std::string, std::string> answers;
    bool silent = false;

    bool board_put_string(int board, const std::string& text) override {
        if (boards[board].busyOffers > 0) return false; // the board stays busy past the retries
        for (char c : text)
            take(board, static_cast<uint8_t>(c));
        return true;
    }
    std::optional<uint8_t> board_get_char(int board) override {
        Board& b = boards[board];
        ++b.gets;
        if (b.pending.empty()) return std::nullopt;
        const uint8_t c = static_cast<uint8_t>(b.pending.front());
        b.pending.erase(0, 1);
        return c;
    }
    void board_end_exchange(int board) override { ++boards[board].endExchanges; }
    bool board_put_char(int board, uint8_t byte) override {
        Board& b = boards[board];
        if (b.busyOffers > 0) {
            --b.busyOffers;
            return false;
        }
        take(board, byte);
        return true;
    }

  private:
    void take(int board, uint8_t c) {
        Board& b = boards[board];
        b.received += static_cast<char>(c);
        if (silent) return;
        if (c != '\r') {
            b.line += static_cast<char>(c);
            return;
        }
        auto it = answers.find(b.line);
        b.pending += (it != answers.end() ? it->second : std::string("\r\n")) + prompt;
        b.line.clear();
    }
};

struct PciBench {
    RecordingHost host;
    FakeBoards boards;
    testing::DrivenClock clock;
    ScriptEngine engine{host, clock};
    TempDir dir;
    PciBench() {
        engine.setBoardLink(&boards);
        engine.setLinkMode(kLinkPci);
        engine.setExpectedPrompt('>');
    }
};

TEST(PciLink, ScriptRunsOncePerMappedBoardInOrder) {
    PciBench b;
    b.engine.mapBoard(7, 1);
    b.engine.mapBoard(3, 0);
    const std::string file = b.dir.write("a.bin", "abc");
    EXPECT_EQ(b.engine.runPickedScript(b.dir.write("s.sld", "_LF " + file + "\n_LA 10\n_LV 1\n_LD\n")),
              RunOutcome::Completed);
    EXPECT_EQ(b.boards.boards[3].received, "\rLF 10 3 126 1\rabc\r");
    EXPECT_EQ(b.boards.boards[7].received, "\rLF 10 3 126 1\rabc\r");
    EXPECT_EQ(b.engine.selectedBoard(), 7);
    EXPECT_EQ(b.host.pciLabels, (std::vector<std::pair<bool, std::string>>{{true, "PCI Board :  3"},
                                                                           {true, "PCI Board :  7"}}));
    EXPECT_EQ(b.host.messages, std::vector<std::string>{"Upload Complete."});
    EXPECT_GE(b.boards.boards[3].endExchanges, 2);
}

TEST(PciLink, StopDuringTheFirstBoardEndsTheSecondAtOnce) {
    PciBench b;
    b.engine.mapBoard(3, 0);
    b.engine.mapBoard(7, 1);
    b.host.onMessage = [&](const std::string& text) {
        if (text == "first") b.engine.pressStop();
    };
    EXPECT_EQ(b.engine.runPickedScript(b.dir.write("s.sld", "_DM \"first\"\n_SC \"x\"\n")),
              RunOutcome::Stopped);
    EXPECT_EQ(b.boards.boards[3].received, "");
    EXPECT_EQ(b.boards.boards[7].received, "");
    EXPECT_EQ(b.host.messages,
              (std::vector<std::string>{"first", "Unsuccessful.  Upload terminated by user."}));
    EXPECT_EQ(b.host.statuses,
              (std::vector<std::string>{"Reading script file. Please wait....",
                                        "Unsuccessful. Upload terminated by user/error(s).",
                                        "Reading script file. Please wait....",
                                        "Unsuccessful. Upload terminated by user/error(s)."}));
}

TEST(PciLink, NoBoardMappedIsNotACompletedRun) {
    PciBench b;
    EXPECT_EQ(b.engine.runPickedScript(b.dir.write("s.sld", "_SC \"x\"\n")), RunOutcome::Failed);
    EXPECT_EQ(b.host.messages, std::vector<std::string>{"Unsuccessful.  Upload terminated by user."});
}

TEST(PciLink, ABytePastFiftyOneOffersCancelsTheUpload) {
    struct Row {
        int busy;
        std::string received;
        std::vector<std::string> messages;
    };
    const std::vector<std::string> refused{
        "Error! The PCI board refused a data byte 51 times. Cancel upload."};
    for (const Row& r : {Row{50, "ab", {}}, Row{51, "", refused}}) {
        PciBench b;
        b.engine.setSelectedBoard(2);
        b.boards.silent = true;
        b.boards.boards[2].busyOffers = r.busy;
        const uint8_t data[] = {'a', 'b'};
        b.engine.sendBytes(2, data);
        EXPECT_EQ(b.boards.boards[2].received, r.received) << r.busy;
        EXPECT_EQ(b.host.messages, r.messages) << r.busy;
        EXPECT_EQ(b.engine.cancelled(), r.messages.empty() ? 0 : 1) << r.busy;
    }
}

TEST(PciLink, TextTheBoardRefusedFailsTheRun) {
    PciBench b;
    b.engine.mapBoard(4, 0);
    b.boards.boards[4].busyOffers = 1;
    EXPECT_EQ(b.engine.runPickedScript(b.dir.write("s.sld", "_SC \"x\"\n_SC \"y\"\n")), RunOutcome::Failed);
    EXPECT_EQ(b.host.messages, (std::vector<std::string>{"Error! Writing to the PCI board failed.",
                                                         "Unsuccessful.  Upload terminated by user."}));
    // No answer is waited for from a unit that did not get its command.
    EXPECT_FALSE(b.engine.sendAndAwaitPrompt("\r"));
    EXPECT_EQ(b.boards.boards[4].gets, 0);
}

TEST(PciLink, PromptWaitPollsAtMostTheLimit) {
    PciBench b;
    b.engine.setSelectedBoard(1);
    b.boards.silent = true;
    b.engine.setPromptTimeout(265);
    EXPECT_FALSE(b.engine.sendAndAwaitPrompt("\r"));
    EXPECT_EQ(b.boards.boards[1].gets, 265);
    EXPECT_EQ(b.boards.boards[1].endExchanges, 1);

    b.boards.silent = false;
    b.boards.boards[1].gets = 0;
    EXPECT_TRUE(b.engine.sendAndAwaitPrompt("\r"));
    EXPECT_EQ(b.boards.boards[1].gets, 3); // "\r\n>" one byte per poll
}

TEST(PciLink, ABoardBackAtItsNormalPromptEndsThePromptCheck) {
    PciBench b;
    b.engine.mapBoard(1, 0);
    const std::string file = b.dir.write("a.bin", "abc");
    b.host.onPump = [&] { // the image refused: the board's answer to the load command is gone
        if (b.boards.boards[1].received.find("abc") == std::string::npos || b.boards.prompt == '#') return;
        b.boards.prompt = '#';
        b.boards.boards[1].pending.clear();
    };
    EXPECT_EQ(b.engine.runPickedScript(b.dir.write("s.sld", "_LF " + file + "\n_LA 10\n_LV 1\n_LD\n")),
              RunOutcome::Failed);
    EXPECT_EQ(b.boards.boards[1].received, "\rLF 10 3 126 1\rabc\r\r") << "two attempts, not eleven";
    EXPECT_EQ(b.host.messages.front(), "Error! Unable to receive prompt after upload. Upload unsuccessful. "
                                       "Exiting script. The unit answers with its normal prompt \"#\".");
}

TEST(PciLink, QueryAnswerIsReadFromTheBoard) {
    PciBench b;
    b.engine.setSelectedBoard(0);
    b.boards.answers["ver"] = "\r\nV1.08 BOOT\r\n";
    b.engine.setCommandText("ver");
    b.engine.setMinAnswerLength(10);
    b.engine.queryUnit();
    EXPECT_EQ(std::string(b.engine.captureBuffer().data()), "\r\nV1.08 BOOT\r\n");
    EXPECT_FALSE(b.engine.commandTimedOut());
    EXPECT_EQ(b.engine.cancelled(), 0);
    EXPECT_TRUE(b.host.messages.empty());
}

} // namespace
} // namespace brimwell::script::test
