// The port probe shared by the window and the command line, over a real port on a pseudo-terminal:
// each way a probe can end, what the far end heard, and the state the port and engine are left in.
#include "app/port_probe.h"
#include "script/script_host.h"
#include "script/serial_link.h"
#include "serial/component/com_port.h"
#include "serial/component/pending_events.h"
#include "serial/time_base.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

using namespace brimwell;

namespace {

constexpr double kTimeScale = 20.0;
constexpr uint16_t kComNumber = 44;

class QuietHost : public script::ScriptHost {
  public:
    void report(const script::RunError& message) override { messages.push_back(message.text); }
    void setStatusText(const std::string&) override {}
    void setButtonsEnabled(bool) override {}
    void processEvents() override { serial::processPendingEvents(); }
    void showProgress(const script::ProgressInfo&) override {}
    void stepProgress() override {}
    void hideProgress() override {}

    std::vector<std::string> messages;
};

// The far end: answers `prompt` to every carriage return (nothing when prompt is 0) and keeps
// what it heard.
class FarEnd {
  public:
    explicit FarEnd(char prompt) : prompt_(prompt) {
        ok_ = pty_.ok() && pty_.holdSlave();
        thread_ = std::thread([this] {
            while (!stop_) {
                const std::string got = pty_.read(64, 10);
                if (got.empty()) continue;
                {
                    std::lock_guard lock(mutex_);
                    heard_ += got;
                }
                for (char c : got)
                    if (c == '\r' && prompt_ != '\0') pty_.write(std::string(1, prompt_));
            }
        });
    }
    ~FarEnd() {
        stop_ = true;
        thread_.join();
    }
    void send(std::string_view bytes) { pty_.write(bytes); }
    bool ok() const { return ok_; }
    void bindCom(unsigned n) const { pty_.bindCom(n); }
    std::string heard() {
        std::lock_guard lock(mutex_);
        return heard_;
    }

  private:
    test::PtyPair pty_;
    char prompt_;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string heard_;
    std::thread thread_;
};

// The engine's link with flushing of received bytes broken, as a port that fails while asked.
class BrokenFlushLink : public script::SerialLink {
  public:
    using script::SerialLink::SerialLink;
    bool flushInBuffer() override { return false; }
};

struct ProbeCase {
    const char* name;
    char prompt;             // what the far end answers; 0 for nothing
    bool deviceMissing;      // COMn points at a path that does not exist
    bool brokenLink;         // the engine's link fails its flushes
    bool stopAfterFirstWait; // the caller asks to stop after the first wait
    app::ProbeOutcome outcome;
    bool openAfter;
    const char* heard;        // what the far end received
    char expectedPromptAfter; // the engine's ExpectedPrompt after the probe
};

class PortProbe : public ::testing::TestWithParam<ProbeCase> {
  protected:
    void SetUp() override { serial::Clock::setScale(kTimeScale); }
};

TEST_P(PortProbe, EndsAsTheLineBehaves) {
    const ProbeCase& c = GetParam();
    std::optional<brimwell::test::NoAnswerFloor> nobodyAnswers;
    if (c.prompt == '\0') nobodyAnswers.emplace();
    FarEnd far(c.prompt);
    ASSERT_TRUE(far.ok());
    if (c.deviceMissing)
        ::setenv(("BRIMWELL_COM" + std::to_string(kComNumber)).c_str(), "/nonexistent/brimwell-tty", 1);
    else
        far.bindCom(kComNumber);

    QuietHost host;
    serial::ComPort port;
    port.setAutoOpen(false);
    script::SerialLink plain(port);
    BrokenFlushLink broken(port);
    script::UnitLink* link = c.brokenLink ? static_cast<script::UnitLink*>(&broken) : &plain;
    script::ScriptEngine engine(host);
    engine.setSerialLink(link);
    engine.setLinkMode(script::kLinkSerial);
    engine.setExpectedPrompt('?');

    const app::ProbeResult r =
        app::probeComPort(port, engine, kComNumber, [&] { return c.stopAfterFirstWait; });

    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(port.isOpen(), c.openAfter);
    EXPECT_EQ(port.comNumber(), kComNumber);
    EXPECT_FALSE(engine.probing()) << "probing is on only during the probe";
    EXPECT_EQ(engine.serialLink(), link) << "the engine gets its own link back";
    EXPECT_EQ(engine.expectedPrompt(), c.expectedPromptAfter);
    EXPECT_EQ(r.openError.empty(), c.outcome != app::ProbeOutcome::OpenFailed) << r.openError;
    if (port.isOpen()) app::closeComPortQuietly(port);
    EXPECT_EQ(far.heard(), c.heard);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, PortProbe,
    ::testing::Values(
        ProbeCase{"MainPrompt", '#', false, false, false, app::ProbeOutcome::Answered, true, "\r", '#'},
        ProbeCase{"LoaderPrompt", '>', false, false, false, app::ProbeOutcome::Answered, true, "\r\r", '>'},
        ProbeCase{"Silent", '\0', false, false, false, app::ProbeOutcome::Silent, false, "\r\r", '>'},
        ProbeCase{"StoppedAfterFirstWait", '\0', false, false, true, app::ProbeOutcome::Silent, false, "\r",
                  '#'},
        ProbeCase{"DeviceMissing", '#', true, false, false, app::ProbeOutcome::OpenFailed, false, "", '?'},
        ProbeCase{"PortBreaksDown", '#', false, true, false, app::ProbeOutcome::PortError, true, "\r", '#'}),
    [](const ::testing::TestParamInfo<ProbeCase>& info) { return std::string(info.param.name); });

// A port change made while a notification is being handled defers the old device's close, and
// the port reads as open until events run again: the probe asks the new device once it reopened.
TEST(PortProbeOpen, ProbeAfterADeferredCloseAsksTheNewDevice) {
    serial::Clock::setScale(kTimeScale);
    FarEnd old('\0'), answering('#');
    ASSERT_TRUE(old.ok() && answering.ok());
    old.bindCom(kComNumber);
    answering.bindCom(kComNumber + 1);
    serial::ComPort port;
    port.setAutoOpen(false);
    port.setComNumber(kComNumber);
    bool changed = false;
    port.setOnTriggerAvail([&](serial::ComPort* p, uint16_t) {
        if (!std::exchange(changed, true)) p->setComNumber(kComNumber + 1);
    });
    ASSERT_TRUE(app::openComPort(port));
    old.send("x");
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         !changed && std::chrono::steady_clock::now() < until;)
        serial::processPendingEvents();
    ASSERT_EQ(port.portState(), serial::PortState::ShuttingDown) << "the close waits for events to run";
    QuietHost host;
    script::SerialLink link(port);
    script::ScriptEngine engine(host);
    engine.setSerialLink(&link);
    engine.setLinkMode(script::kLinkSerial);
    const app::ProbeResult r = app::probeComPort(port, engine, kComNumber + 1);
    EXPECT_EQ(r.outcome, app::ProbeOutcome::Answered) << r.openError;
    EXPECT_EQ(port.portState(), serial::PortState::Open);
    EXPECT_EQ(answering.heard(), "\r");
    app::closeComPortQuietly(port);
}

TEST(PortProbeOpen, OpenReportsTheReasonAndLeavesTheFailedPortClosed) {
    ::setenv(("BRIMWELL_COM" + std::to_string(kComNumber)).c_str(), "/nonexistent/brimwell-tty", 1);
    serial::ComPort port;
    port.setAutoOpen(false);
    port.setComNumber(kComNumber);
    std::string why;
    EXPECT_FALSE(app::openComPort(port, &why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(port.isOpen());

    FarEnd far('#');
    ASSERT_TRUE(far.ok());
    far.bindCom(kComNumber);
    why.clear();
    EXPECT_TRUE(app::openComPort(port, &why)) << why;
    EXPECT_TRUE(app::openComPort(port)) << "an open port stays open";
    EXPECT_TRUE(port.isOpen());
    app::closeComPortQuietly(port);
    EXPECT_FALSE(port.isOpen());
    app::closeComPortQuietly(port);
    EXPECT_FALSE(port.isOpen()) << "closing a closed port is quiet";
}

} // namespace
