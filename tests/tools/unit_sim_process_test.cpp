// brimwell-unit-sim as a real process: over its pseudo-terminal and over TCP, with storing, pacing
// timestamps and the line faults that need a real descriptor (hang, disconnect).
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

using namespace brimwell::testing;

namespace {

// A raw, non-blocking descriptor on the simulator's line, with blocking-style helpers.
class Wire {
  public:
    explicit Wire(int fd) : fd_(fd) {}
    ~Wire() {
        if (fd_ >= 0) ::close(fd_);
    }
    static int openDevice(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return -1;
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
        return fd;
    }
    bool ok() const { return fd_ >= 0; }
    bool put(const void* data, size_t n) {
        const auto* p = static_cast<const uint8_t*>(data);
        while (n > 0) {
            const ssize_t w = ::write(fd_, p, n);
            if (w < 0 && errno == EAGAIN) {
                pollfd pfd{fd_, POLLOUT, 0};
                if (::poll(&pfd, 1, 5000) <= 0) return false;
                continue;
            }
            if (w <= 0) return false;
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }
    bool put(const std::string& s) { return put(s.data(), s.size()); }
    // Reads until `until` has been seen (then returns everything read) or the time runs out.
    std::string readUntil(const std::string& until, int ms = 5000) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.find(until) == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, 20) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
            else if (n == 0 || errno != EAGAIN) {
                lastError_ = n == 0 ? 0 : errno;
                break;
            }
        }
        return got;
    }
    int lastError() const { return lastError_; }

  private:
    int fd_;
    int lastError_ = -1;
};

std::string loadCommand(const std::vector<uint8_t>& data, const std::string& address,
                        const std::string& version) {
    uint32_t sum = 0;
    for (auto b : data)
        sum += b;
    char buf[128];
    std::snprintf(buf, sizeof buf, "LF %s %zu %x %s\r", address.c_str(), data.size(), sum & 0xFFFF,
                  version.c_str());
    return buf;
}

TEST(UnitSimProcess, FlashesOverThePseudoTerminalAndStoresTheImage) {
    TempDir dir;
    SimUnit sim;
    ASSERT_TRUE(sim.start(dir, {"--store", dir.file("store")}));
    EXPECT_TRUE(sim.process.waitForLine("PTY /dev/pts/").has_value());
    Wire w(Wire::openDevice(sim.device));
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w.put("\r"));
    EXPECT_EQ(w.readUntil("#"), "\r\n#");
    ASSERT_TRUE(w.put("LOADR\r"));
    EXPECT_EQ(w.readUntil(">"), "LOADR\r\nLOADER MODE\r\n>");
    const auto data = patternBytes(300 * 1024 + 17, 5);
    ASSERT_TRUE(w.put(loadCommand(data, "80000000", "1.08")));
    ASSERT_TRUE(w.put(data.data(), data.size()));
    EXPECT_NE(w.readUntil("LOAD OK\r\n>").find("LOAD OK\r\n>"), std::string::npos);
    const auto stored = sim.process.waitForLine("STORED ");
    ASSERT_TRUE(stored.has_value());
    const std::string path = dir.file("store/LF_80000000_1.08.bin");
    EXPECT_EQ(stored->substr(7, path.size()), path);
    EXPECT_EQ(field(*stored, "size"), std::to_string(data.size()));
    EXPECT_LE(std::stoll(field(*stored, "first_ns")), std::stoll(field(*stored, "last_ns")));
    EXPECT_EQ(readFile(path), data);

    // The line outlives the host closing it: a second session finds the unit still in loader mode.
    Wire again(Wire::openDevice(sim.device));
    ASSERT_TRUE(again.ok());
    ASSERT_TRUE(again.put("\r"));
    EXPECT_NE(again.readUntil(">").find(">"), std::string::npos);
    sim.process.stop();
    EXPECT_FALSE(std::filesystem::exists(sim.device)) << "the link is removed when the simulator ends";
}

TEST(UnitSimProcess, PacedLineIsNeverFasterThanItsBaudRate) {
    TempDir dir;
    SimUnit sim;
    ASSERT_TRUE(sim.start(dir, {"--baud", "115200", "--start-in-loader"}));
    Wire w(Wire::openDevice(sim.device));
    ASSERT_TRUE(w.ok());
    const auto data = patternBytes(6000, 9);
    ASSERT_TRUE(w.put(loadCommand(data, "0", "1")));
    ASSERT_TRUE(w.put(data.data(), data.size()));
    const auto got = sim.process.waitForLine("RECEIVED ");
    ASSERT_TRUE(got.has_value());
    const long long span = std::stoll(field(*got, "last_ns")) - std::stoll(field(*got, "first_ns"));
    const long long byteNs = 1'000'000'000LL * 10 / 115200;
    EXPECT_GE(span, byteNs * static_cast<long long>(data.size() - 1));
    // The echo of the load command comes back paced too, and complete.
    EXPECT_NE(w.readUntil("LOAD OK").find("LOAD OK"), std::string::npos);
}

TEST(UnitSimProcess, HangStopsReadingSoTheHostCannotWriteForever) {
    TempDir dir;
    SimUnit sim;
    ASSERT_TRUE(sim.start(dir, {"--hang-after", "1000", "--start-in-loader"}));
    Wire w(Wire::openDevice(sim.device));
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w.put("LF 0 1000000 0 1\r"));
    const auto data = patternBytes(1'000'000, 1);
    // The pty fills up once the unit stops reading, so a bounded write must stall.
    EXPECT_FALSE(w.put(data.data(), data.size()));
    EXPECT_TRUE(sim.process.waitForLine("NOTE pty FAULT hang after 1000").has_value());
}

TEST(UnitSimProcess, DisconnectHangsUpTheLineAndRemovesTheLink) {
    TempDir dir;
    SimUnit sim;
    ASSERT_TRUE(sim.start(dir, {"--disconnect-after", "10", "--start-in-loader"}));
    Wire w(Wire::openDevice(sim.device));
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w.put("LF 0 100 0 1\r"));
    const auto data = patternBytes(100, 1);
    w.put(data.data(), data.size());
    EXPECT_TRUE(sim.process.waitForLine("DISCONNECTED pty").has_value());
    EXPECT_EQ(sim.process.wait(std::chrono::seconds(10)), 0);
    w.readUntil("never", 500);
    EXPECT_TRUE(w.lastError() == 0 || w.lastError() == EIO)
        << "a hung-up pty reads as closed, got " << w.lastError();
    EXPECT_FALSE(w.put("\r")) << "writes to a hung-up pty fail";
    EXPECT_FALSE(std::filesystem::exists(sim.device));
}

TEST(UnitSimProcess, PlaysTheUnitToTcpClients) {
    TempDir dir;
    ChildProcess p;
    ASSERT_TRUE(
        p.start(binDir() + "/brimwell-unit-sim", {"--no-pty", "--tcp", "0", "--answer", "id=UNIT 7"}));
    const auto tcp = p.waitForLine("TCP 127.0.0.1:");
    ASSERT_TRUE(tcp.has_value());
    const int port = std::stoi(tcp->substr(std::string("TCP 127.0.0.1:").size()));
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    Wire w(fd);
    ASSERT_TRUE(w.put("id\r"));
    EXPECT_EQ(w.readUntil("#"), "id\r\nUNIT 7\r\n#");
    ASSERT_TRUE(w.put("ver\r")); // --answer replaces the default answers
    EXPECT_EQ(w.readUntil("#"), "ver\r\nUnknown command\r\n#");
}

TEST(UnitSimProcess, RejectsBadOptions) {
    const std::vector<std::vector<std::string>> bad = {
        {"--baud", "fast"}, {"--no-pty"}, {"--tcp", "70000"}, {"--main-prompt", "ab"}, {"--what"}};
    for (const auto& args : bad) {
        ChildProcess p;
        ASSERT_TRUE(p.start(binDir() + "/brimwell-unit-sim", args));
        EXPECT_EQ(p.wait(), 2) << args[0];
        EXPECT_NE(p.stderrText().find("brimwell-unit-sim: "), std::string::npos) << args[0];
    }
}

} // namespace
