// Test doubles for the script engine: the simulator's unit behind the serial link's interface, a
// recording host, and small file helpers.
#pragma once

#include "script/script_engine.h"
#include "serial/time_base.h"
#include "support/driven_clock.h"
#include "support/temp_dir.h"
#include "tools/unit-sim/unit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace brimwell::script::test {

// The simulator's unit core on the far side of a test's line, with what it heard: the command
// lines it took and the data of its loads. Built from `options` at its first byte; restart() lets a
// test change the options between exchanges.
class SimulatedUnit {
  public:
    unitsim::UnitOptions options = quietDefaults();
    std::vector<std::string> lines; // every command line taken (the text before its carriage return)

    // As most tests here want it: no echo and no answers of its own.
    static unitsim::UnitOptions quietDefaults() {
        unitsim::UnitOptions o;
        o.echo = false;
        o.answers.clear();
        return o;
    }

    // The unit takes `sent` at `now` (all at once) and returns what it has said by then.
    std::string receive(const std::string& sent, unitsim::Nanos now) {
        core().receive(reinterpret_cast<const uint8_t*>(sent.data()), sent.size(), now, 0);
        return said(now);
    }
    // What the unit says by `now` without being sent anything (late prompts, a stalled load).
    std::string said(unitsim::Nanos now) {
        std::string out;
        core().tick(now);
        core().takeOutput(now, out);
        return out;
    }
    // The data of every load, the one in progress included.
    std::string uploaded() const {
        std::string all = loaded_;
        if (core_ && core_->inDataPhase()) all.append(core_->image().begin(), core_->image().end());
        return all;
    }
    uint64_t dataBytesSeen() const { return core_ ? core_->dataBytesSeen() : 0; }
    void restart() { core_.reset(); }

  private:
    unitsim::Unit& core() {
        if (!core_)
            core_.emplace(
                options,
                [this](const unitsim::LoadRecord&, const std::vector<uint8_t>& image) {
                    loaded_.append(image.begin(), image.end());
                },
                [this](const std::string& note) {
                    if (note.starts_with("LINE ")) lines.push_back(note.substr(5));
                });
        return *core_;
    }

    std::optional<unitsim::Unit> core_;
    std::string loaded_;
};

// The serial link as the engine sees it, backed by a SimulatedUnit. Output "drains" in (driven) clock
// time at `Baud` when `pacedDrain` is set, else at once.
class FakeLink : public UnitLink {
  public:
    SimulatedUnit unit;
    bool open = true;
    int32_t lineBaud = 38400;
    int outFree = 4096;
    bool cts = true;
    bool pacedDrain = false;
    bool neverDrains = false;
    int backlog = 0; // bytes still queued in the driver ahead of each block when pacedDrain is set
    int64_t putBlockDelayMs = 0;
    bool abandoned = false;
    std::string wire;               // everything written, in order
    std::vector<int> blockSizes;    // lengths given to putBlock
    std::vector<int32_t> waitTicks; // time-outs given to waitForString
    std::deque<char> input;         // received, not yet taken
    std::function<void()> yieldHook;
    std::function<void(const std::string&)> onWrite;        // after the unit saw each write
    std::function<std::string(const std::string&)> respond; // replaces the unit when set
    ScriptEngine* engine = nullptr;
    testing::DrivenClock* clock = nullptr;

    bool isOpen() const override { return open; }
    bool flushInBuffer() override {
        input.clear();
        return true;
    }
    bool flushOutBuffer() override { return true; }
    int getOutBuffFree() override { return outFree; }
    int getOutBuffUsed() override {
        if (neverDrains) return 1;
        if (!pacedDrain || blockSizes.empty()) return 0;
        const double sent = static_cast<double>(clock->elapsedMs(putAt_)) * lineBaud / 10000.0;
        const double left = std::min<double>(blockSizes.back(), backlog + blockSizes.back() - sent);
        return left > 0 ? static_cast<int>(left) : 0;
    }
    bool getCts() override { return cts; }
    bool waitOutBuffEmpty(int64_t maxMicros) override {
        if (getOutBuffUsed() == 0) return true;
        clock->sleepMs(std::max<int64_t>(maxMicros / 1000, 1));
        return getOutBuffUsed() == 0;
    }
    bool putString(const std::string& text) override {
        write(text);
        return true;
    }
    bool putBlock(const uint8_t* data, int length) override {
        blockSizes.push_back(length);
        clock->sleepMs(putBlockDelayMs);
        putAt_ = clock->now();
        write(std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length)));
        return true;
    }
    int getBlock(uint8_t* buffer, int length) override {
        int n = 0;
        while (n < length && !input.empty()) {
            buffer[n++] = static_cast<uint8_t>(input.front());
            input.pop_front();
        }
        return n;
    }
    bool waitForString(const std::string& text, int32_t timeoutTicks, bool yield, bool) override {
        return waitForMultiString(text, timeoutTicks, yield, false, '\0') != 0;
    }
    // Alternatives of one character each (all the engine waits for).
    int waitForMultiString(const std::string& text, int32_t timeoutTicks, bool yield, bool,
                           char separator) override {
        waitTicks.push_back(timeoutTicks);
        const auto start = clock->now();
        for (;;) {
            while (!input.empty() && !abandoned) {
                const char c = input.front();
                input.pop_front();
                if (engine != nullptr) engine->onWaitChar(c);
                for (std::size_t at = 0, n = 1; at < text.size(); at = text.find(separator, at) + 1, ++n) {
                    if (text[at] == c) return static_cast<int>(n);
                    if (text.find(separator, at) == std::string::npos) break;
                }
            }
            if (abandoned || clock->elapsedMs(start) >= int64_t{timeoutTicks} * serial::kTickMs) return 0;
            if (yield && yieldHook) yieldHook();
            if (engine != nullptr) engine->onWaitPass();
            clock->sleepMs(5);
            hearUnit();
        }
    }
    void abandonWaits(bool abandon) override { abandoned = abandon; }
    std::string label() const override { return "COM1 (fake)"; }
    int32_t baud() const override { return lineBaud; }

    // The port's data-available event: the capture handler sees the bytes, then every other
    // consumer (the terminal) has read them too, so they are gone.
    void deliver() {
        hearUnit();
        if (input.empty() || engine == nullptr) return;
        engine->onDataAvailable(static_cast<uint16_t>(std::min<std::size_t>(input.size(), 65535)));
        input.clear();
    }
    void queue(const std::string& bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }

  private:
    void write(const std::string& bytes) {
        wire += bytes;
        queue(respond ? respond(bytes) : unit.receive(bytes, nowNanos()));
        if (onWrite) onWrite(bytes);
    }
    unitsim::Nanos nowNanos() const { return clock->ms() * 1'000'000; }
    // What the unit says as time passes, without being sent anything.
    void hearUnit() {
        if (!respond) queue(unit.said(nowNanos()));
    }
    script::EngineClock::Mark putAt_;
};

// How an operator tells a failure box by its words: "Error...", "Timeout error...", a link that
// was lost or refused a write.
inline bool readsAsFailure(const std::string& text) {
    auto framed = [&](const char* start, const char* part) {
        return text.starts_with(start) && text.find(part) != std::string::npos;
    };
    return text.starts_with("Error") || text.starts_with("Timeout error") ||
           framed("The connection to ", " was lost.") || framed("Writing to ", " failed: ");
}

// Records what the operator would see; each pump delivers the fake port's pending bytes.
class RecordingHost : public ScriptHost {
  public:
    std::vector<std::string> messages;
    std::vector<RunError> reports; // the same boxes with what they are about
    std::vector<std::string> statuses;
    std::vector<bool> buttons;
    std::vector<ProgressInfo> shown;
    int steps = 0;
    int hides = 0;
    int pumps = 0;
    bool progressVisible = false;
    std::vector<bool> configMenu;
    std::vector<std::pair<bool, std::string>> pciLabels;
    std::vector<std::pair<int, int>> blocks;
    std::vector<RunOutcome> finished;
    FakeLink* link = nullptr;
    std::function<void()> onPump;
    std::function<void(const std::string&)> onMessage;
    std::string hint;

    void report(const RunError& message) override {
        // Hosts go by what a box reports; the operator still reads a failure from its words, and
        // every engine box must say the same both ways.
        EXPECT_EQ(message.failure(), message.what != RunPart::ScriptMessage && readsAsFailure(message.text))
            << message.text;
        messages.push_back(message.text);
        reports.push_back(message);
        if (onMessage) onMessage(message.text);
    }
    void setStatusText(const std::string& text) override { statuses.push_back(text); }
    void setButtonsEnabled(bool enabled) override { buttons.push_back(enabled); }
    void processEvents() override {
        ++pumps;
        if (link != nullptr) link->deliver();
        if (onPump) onPump();
    }
    void showProgress(const ProgressInfo& info) override {
        shown.push_back(info);
        progressVisible = true;
    }
    void stepProgress() override { ++steps; }
    void hideProgress() override {
        ++hides;
        progressVisible = false;
    }
    void setConfigMenuVisible(bool visible) override { configMenu.push_back(visible); }
    void setPciBoardLabel(bool visible, const std::string& caption) override {
        pciLabels.emplace_back(visible, caption);
    }
    void blockSent(int index, int length) override { blocks.emplace_back(index, length); }
    void runFinished(RunOutcome outcome) override { finished.push_back(outcome); }
    std::string giveUpHint() const override { return hint; }

    std::string lastStatus() const { return statuses.empty() ? std::string() : statuses.back(); }
};

using testing::TempDir;

// Engine + host + fake link wired together on a driven clock.
struct Bench {
    RecordingHost host;
    FakeLink link;
    testing::DrivenClock clock;
    ScriptEngine engine{host, clock};
    TempDir dir;

    Bench() {
        link.clock = &clock;
        host.link = &link;
        link.engine = &engine;
        engine.setSerialLink(&link);
        engine.setLinkMode(kLinkSerial);
        // As left by a probe that found the unit at its loader prompt.
        engine.setExpectedPrompt('>');
    }
    // Runs `script` as the operator's chosen file.
    RunOutcome run(const std::string& script) { return engine.runPickedScript(dir.write("run.sld", script)); }
    // Runs one command line straight through the interpreter.
    bool line(const std::string& text) {
        engine.resetLineTable();
        engine.setCommandLine(text);
        return engine.runCommandLine();
    }
};

} // namespace brimwell::script::test
