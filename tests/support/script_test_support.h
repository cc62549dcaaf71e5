// Test doubles for the script engine: a unit model behind the serial link's interface (answers,
// echo, loader mode, raw uploads), a recording host, and small file helpers.
#pragma once

#include "script/script_engine.h"
#include "serial/time_base.h"
#include "support/driven_clock.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace brimwell::script::test {

// A unit on the far side of the fake port: it reacts to each byte the engine writes.
struct UnitModel {
    enum class Mode { Normal, Loader, Silent };
    Mode mode = Mode::Normal;
    bool echo = false;
    bool acceptLoaderCommand = true;
    bool promptAfterUpload = true;
    char mainPrompt = '#';
    char loaderPrompt = '>';
    std::map<std::string, std::string> answers; // query line -> raw bytes sent before the prompt
    std::string answerAfterUpload;              // when set: the bytes sent for each line once data was taken

    std::vector<std::string> lines; // every line received (text before a carriage return)
    std::string uploaded;           // raw bytes taken after a load command
    long long expectData = 0;
    bool uploading = false;
    std::string pending;

    static std::vector<std::string> fields(const std::string& line) {
        std::vector<std::string> out;
        std::size_t at = 0;
        while (at <= line.size()) {
            const std::size_t sp = std::min(line.find(' ', at), line.size());
            out.push_back(line.substr(at, sp - at));
            at = sp + 1;
        }
        return out;
    }

    // Bytes the unit sends back for `sent`.
    std::string receive(const std::string& sent) {
        std::string out;
        for (char c : sent) {
            if (expectData > 0) {
                uploaded += c;
                if (--expectData == 0 && !promptAfterUpload) mode = Mode::Silent;
                continue;
            }
            if (mode == Mode::Silent) continue;
            if (echo) out += c;
            if (c != '\r') {
                pending += c;
                continue;
            }
            const std::string line = pending;
            pending.clear();
            lines.push_back(line);
            const char prompt = mode == Mode::Loader ? loaderPrompt : mainPrompt;
            if (line == "LOADR" && acceptLoaderCommand) {
                mode = Mode::Loader;
                out += std::string("\r\n") + loaderPrompt;
            } else if (mode == Mode::Loader && fields(line).size() == 5) {
                // KEYWORD ADDRESS SIZE CHECKSUM VERSION: the raw bytes follow at once.
                expectData = std::atoll(fields(line)[2].c_str());
                if (expectData == 0 && !promptAfterUpload) mode = Mode::Silent;
            } else if (auto it = answers.find(line); it != answers.end()) {
                out += it->second + prompt;
            } else if (!answerAfterUpload.empty() && !uploaded.empty()) {
                out += answerAfterUpload;
            } else {
                out += std::string("\r\n") + prompt;
            }
        }
        return out;
    }
};

// The serial link as the engine sees it, backed by a UnitModel. Output "drains" in (driven) clock
// time at `Baud` when `pacedDrain` is set, else at once.
class FakeLink : public UnitLink {
  public:
    UnitModel unit;
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
    std::function<std::string(const std::string&)> respond; // replaces the unit model when set
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
        }
    }
    void abandonWaits(bool abandon) override { abandoned = abandon; }
    std::string label() const override { return "COM1 (fake)"; }
    int32_t baud() const override { return lineBaud; }

    // The port's data-available event: the capture handler sees the bytes, then every other
    // consumer (the terminal) has read them too, so they are gone.
    void deliver() {
        if (input.empty() || engine == nullptr) return;
        engine->onDataAvailable(static_cast<uint16_t>(std::min<std::size_t>(input.size(), 65535)));
        input.clear();
    }
    void queue(const std::string& bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }

  private:
    void write(const std::string& bytes) {
        wire += bytes;
        queue(respond ? respond(bytes) : unit.receive(bytes));
        if (onWrite) onWrite(bytes);
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
