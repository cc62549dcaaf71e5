// The engine over the real serial port component and a pseudo-terminal: the far end plays the
// unit (echo, loader mode, a query answer, a raw upload) in its own thread.
#include "script/serial_link.h"
#include "serial/component/com_port.h"
#include "support/pty.h"
#include "support/script_test_support.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace brimwell::script::test {
namespace {

constexpr unsigned kComNumber = 41;

// The far end of the line: a pty master answering like the unit.
class PtyUnit {
  public:
    // By default the unit as it comes: it echoes and answers "ver" with "V1.08 BOOT".
    explicit PtyUnit(unitsim::UnitOptions options = {}) {
        unit_.options = std::move(options);
        if (!pty_.ok() || !pty_.holdSlave()) return;
        held_ = true;
        pty_.bindCom(kComNumber);
        thread_ = std::thread([this] { serve(); });
    }
    ~PtyUnit() { stop(); }
    bool ok() const { return held_; }
    void stop() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }
    SimulatedUnit& unit() { return unit_; } // only after stop()

  private:
    void serve() {
        while (running_) {
            const std::string heard = pty_.read(4096, 5);
            const auto now = std::chrono::steady_clock::now().time_since_epoch();
            const std::string said = unit_.receive(heard, std::chrono::nanoseconds(now).count());
            if (!said.empty() && !pty_.write(said)) break;
        }
    }

    SimulatedUnit unit_;
    brimwell::test::PtyPair pty_;
    bool held_ = false;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

struct PortBench {
    RecordingHost host;
    serial::ComPort port;
    SerialLink link{port};
    ScriptEngine engine{host};
    TempDir dir;

    PortBench() {
        serial::Clock::setScale(10.0);
        host.onPump = [] { QCoreApplication::processEvents(); };
        port.setAutoOpen(false);
        port.setComNumber(kComNumber);
        port.setBaud(38400);
        port.setHwFlowOptions({serial::HwFlowOption::UseRts, serial::HwFlowOption::RequireCts});
        engine.setSerialLink(&link);
        engine.setLinkMode(kLinkSerial);
        installCaptureHandler(port, engine);
    }
    ~PortBench() { port.setOpen(false); }
};

TEST(SerialLinkPty, WholeFlashingRun) {
    PtyUnit far;
    ASSERT_TRUE(far.ok());
    PortBench b;
    b.port.setOpen(true);
    ASSERT_TRUE(b.link.isOpen());

    std::string data(5001, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    const std::string file = b.dir.write("fw.bin", data);
    b.engine.setPostUploadWait(500);
    const RunOutcome outcome =
        b.engine.runPickedScript(b.dir.write("run.sld", "_TC \"^M\"\n_QC \"ver\"\n_CE \"V1.08 BOOT\" _LF " +
                                                            file + "\n_LA 80000000\n_LV 1.08\n_LD\n"));
    far.stop();

    EXPECT_EQ(outcome, RunOutcome::Completed);
    EXPECT_EQ(b.host.messages, std::vector<std::string>{"Upload Complete."});
    EXPECT_EQ(b.engine.answerText(), "V1.08 BOOT");
    EXPECT_EQ(far.unit().uploaded().size(), data.size());
    EXPECT_TRUE(far.unit().uploaded() == data);
    b.engine.setDataFileName(file);
    ASSERT_TRUE(b.engine.readFileChecksum());
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(b.engine.fileChecksum()));
    const auto& lines = far.unit().lines;
    EXPECT_NE(std::find(lines.begin(), lines.end(), "LF 80000000 5001 " + std::string(hex) + " 1.08"),
              lines.end());
    EXPECT_EQ(b.host.steps, 3);
}

// Another reader on the port (as the window's terminal pane is) takes what arrives as soon as it
// is announced. A unit that answers before the engine's wait begins (here the link dawdles after
// each put) still has its prompt seen by the wait.
TEST(SerialLinkPty, AnAnswerBeforeTheWaitBeginsIsKeptForTheWait) {
    struct SlowPuts : SerialLink {
        using SerialLink::SerialLink;
        bool putString(const std::string& text) override {
            const bool ok = SerialLink::putString(text);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return ok;
        }
    };
    struct Reader : serial::TriggerEventHandler {
        serial::Dispatcher* d = nullptr;
        std::atomic<int> taken{0};
        void handleTrigger(const serial::TriggerMessage& m) override {
            uint8_t buf[4096];
            if (m.msg == serial::kTriggerAvail)
                taken += d->getBlock(buf, std::min<uint32_t>(m.wParam, sizeof buf));
        }
    } reader;
    PtyUnit far;
    ASSERT_TRUE(far.ok());
    PortBench b;
    SlowPuts slow(b.port);
    b.engine.setSerialLink(&slow);
    b.port.setOpen(true);
    reader.d = b.port.currentDispatcher();
    reader.d->registerEventTriggerHandler(&reader);
    b.engine.setExpectedPrompt('#');
    EXPECT_TRUE(b.engine.sendAndAwaitPrompt("\r"));
    EXPECT_EQ(reader.taken, 0);
    reader.d->deregisterEventTriggerHandler(&reader);
}

TEST(SerialLinkPty, SilentUnitStopsTheScriptWithItsMessage) {
    const brimwell::test::NoAnswerFloor nobodyAnswers;
    unitsim::UnitOptions silent;
    silent.dead = true;
    PtyUnit far(silent);
    ASSERT_TRUE(far.ok());
    PortBench b;
    b.port.setOpen(true);
    const RunOutcome outcome = b.engine.runPickedScript(b.dir.write("run.sld", "_TC \"^M\"\n_SC \"x\"\n"));
    far.stop();
    EXPECT_EQ(outcome, RunOutcome::Failed);
    EXPECT_EQ(b.host.messages,
              (std::vector<std::string>{"Error! Unable to get response from unit(_TC)! Exiting script",
                                        "Unsuccessful.  Upload terminated by user."}));
    EXPECT_EQ(far.unit().lines.size(), 0u);
}

TEST(SerialLinkPty, ClosedPortSendsNothingAndFailsAtOnce) {
    PortBench b;
    EXPECT_FALSE(b.link.isOpen());
    b.engine.setExpectedPrompt('>');
    EXPECT_FALSE(b.engine.sendAndAwaitPrompt("\r"));
    b.engine.sendString("x");
    EXPECT_TRUE(b.host.messages.empty());
}

// The block drain's wait over a real line: no bytes leave while the far end does not read, and the
// wait reports the buffer empty once they have all gone.
TEST(SerialLinkPty, OutputEmptyWaitFollowsTheFarEnd) {
    brimwell::test::PtyPair pty;
    ASSERT_TRUE(pty.ok() && pty.holdSlave());
    pty.bindCom(kComNumber);
    serial::ComPort port;
    port.setAutoOpen(false);
    port.setComNumber(kComNumber);
    port.setOpen(true);
    SerialLink link(port);
    ASSERT_TRUE(link.isOpen());
    EXPECT_TRUE(link.waitOutBuffEmpty(0)) << link.lastError();
    EXPECT_TRUE(link.waitOutBuffEmpty(1000)) << link.lastError();

    // Fill the line until the output buffer stops draining (looked at twice, 150 ms apart).
    const std::string chunk(1000, 'u');
    std::size_t put = 0;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < end;) {
        if (link.getOutBuffFree() >= 1000) {
            ASSERT_TRUE(link.putBlock(reinterpret_cast<const uint8_t*>(chunk.data()), 1000));
            put += 1000;
            continue;
        }
        const int used = link.getOutBuffUsed();
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        if (used > 0 && link.getOutBuffUsed() == used) break;
    }
    ASSERT_GT(link.getOutBuffUsed(), 0);
    EXPECT_FALSE(link.waitOutBuffEmpty(0));
    EXPECT_FALSE(link.waitOutBuffEmpty(2000));

    std::string heard;
    std::thread farEnd([&] { heard = pty.read(put, 10000); });
    bool empty = false;
    for (int pass = 0; pass < 400 && !empty; ++pass)
        empty = link.waitOutBuffEmpty(50000);
    farEnd.join();
    EXPECT_TRUE(empty);
    EXPECT_EQ(link.getOutBuffUsed(), 0);
    EXPECT_EQ(heard.size(), put);
    port.setOpen(false);
    EXPECT_TRUE(link.waitOutBuffEmpty(1000)); // a closed port has nothing waiting
}

} // namespace
} // namespace brimwell::script::test
