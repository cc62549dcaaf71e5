// Measures, in one run over a pseudo-terminal: putBlock throughput against a plain write() loop
// and its CPU cost with the trace and log on,
// the time from a peer's prompt byte to waitForString returning, and the CPU an open idle port and
// a timed-out waitForString cost. Prints "BENCH <name> <value> <unit>" lines.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "serial/component/com_port.h"
#include "serial/recorders.h"
#include "serial/time_base.h"

using namespace brimwell;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr unsigned kBenchCom = 50;
constexpr uint16_t kBlock = 2000;
// Output buffer of the throughput run: room for several blocks, so the producer's short sleeps
// while the output thread writes do not leave the line idle.
constexpr uint16_t kThroughputOutSize = 65000;
constexpr auto kThroughputRound = std::chrono::milliseconds(400);
constexpr int kThroughputRounds = 9;
// How long the putBlock producer sleeps when the output buffer is full: a fraction of the time
// the line needs to empty it even on a fast pseudo-terminal.
constexpr auto kProducerPause = std::chrono::microseconds(100);
constexpr int kLatencySamples = 200;
constexpr int kCpuSeconds = 10;

struct Pty {
    int master = -1;
    std::string path;
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master);
        ::unlockpt(master);
        char name[128];
        ::ptsname_r(master, name, sizeof name);
        path = name;
    }
    ~Pty() { ::close(master); }
};

// Reads the master side as fast as it can and counts the bytes.
class Reader {
  public:
    explicit Reader(int fd) : fd_(fd), thread_([this] { run(); }) {}
    ~Reader() {
        stop_ = true;
        thread_.join();
    }
    uint64_t bytes() const { return bytes_.load(); }

  private:
    void run() {
        std::vector<char> buf(65536);
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = ::read(fd_, buf.data(), buf.size());
            if (n > 0) bytes_ += uint64_t(n);
        }
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> bytes_{0};
    std::thread thread_;
};

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double elapsed(SteadyClock::time_point since) {
    return std::chrono::duration<double>(SteadyClock::now() - since).count();
}

// One round of writing 2000-byte blocks for |duration|: returns the rate at which the reader
// received them (bytes per second, counted until everything written has arrived).
template <class WriteBlock>
double roundRate(Reader& reader, std::chrono::milliseconds duration, WriteBlock writeBlock,
                 double* cpuPerMb) {
    const uint64_t before = reader.bytes();
    const double cpuBefore = cpuSeconds();
    const auto start = SteadyClock::now();
    uint64_t written = 0;
    while (SteadyClock::now() - start < duration)
        written += writeBlock();
    while (reader.bytes() - before < written && elapsed(start) < 10)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const uint64_t moved = reader.bytes() - before;
    // Process CPU (all threads, the reader's included) per megabyte moved.
    if (moved > 0) *cpuPerMb = (cpuSeconds() - cpuBefore) * 1e6 / (double(moved) / 1e6);
    return double(moved) / elapsed(start);
}

int openRaw(const Pty& pty) {
    const int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

uint64_t rawBlock(int fd) {
    static const std::string block(kBlock, 'r');
    const ssize_t n = ::write(fd, block.data(), block.size());
    return n > 0 ? uint64_t(n) : 0;
}

// Puts as many blocks as the output buffer has room for, as a sender that knows the free space
// would; when there is no room it sleeps briefly while the output thread writes.
uint64_t putBlocks(serial::ComPort& port) {
    static const std::string block(kBlock, 'p');
    const uint16_t blocks = port.getOutBuffFree() / kBlock;
    if (blocks == 0) {
        std::this_thread::sleep_for(kProducerPause);
        return 0;
    }
    for (uint16_t i = 0; i < blocks; ++i)
        port.putBlock(block.data(), kBlock);
    return uint64_t(blocks) * kBlock;
}

double promptLatencyMedianMs(const Pty& pty, serial::ComPort& port) {
    std::vector<double> samples;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pause(2000, 6000);
    for (int i = 0; i < kLatencySamples; ++i) {
        std::atomic<int64_t> sentAt{0};
        const int delayUs = pause(rng);
        std::thread peer([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
            sentAt = SteadyClock::now().time_since_epoch().count();
            (void)!::write(pty.master, ">", 1);
        });
        const bool found = port.waitForString(">", 36, true, false);
        const auto returnedAt = SteadyClock::now().time_since_epoch().count();
        peer.join();
        if (found) samples.push_back(double(returnedAt - sentAt.load()) / 1e6);
    }
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? -1 : samples[samples.size() / 2];
}

// CPU time that recording costs per megabyte put, with both recorders at their largest: every
// byte into the trace as sent, and each block as the dispatcher's write entry in the log. The
// port is not open yet, so no other thread of the process adds to the figure.
double recordCpuUsPerMb() {
    constexpr long kRecordedBytes = 64L * 1000 * 1000;
    serial::Recorders recorders;
    recorders.initTracing(serial::kTraceSizeMax);
    recorders.initDispatchLogging(serial::kLogSizeMax);
    const std::vector<uint8_t> block(kBlock, 'U');
    const double cpu0 = cpuSeconds();
    for (long sent = 0; sent < kRecordedBytes; sent += kBlock) {
        recorders.addDispatchEntry(serial::DispatchType::Dispatch, serial::DispatchSubType::WriteCom, kBlock,
                                   block.data(), kBlock);
        recorders.traceBytes(serial::kTraceTransmit, block.data(), kBlock);
    }
    return (cpuSeconds() - cpu0) * 1e6 / (kRecordedBytes / 1e6);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Short sleeps of the producer loops should last about as long as asked.
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    std::printf("BENCH serial_record_cpu_us_per_mb %.0f us\n", recordCpuUsPerMb());
    std::fflush(stdout);
    Pty pty;
    ::setenv(("BRIMWELL_COM" + std::to_string(kBenchCom)).c_str(), pty.path.c_str(), 1);

    // The plain writer's descriptor is opened before the component takes the port exclusively.
    const int rawFd = openRaw(pty);

    serial::ComPort port;
    port.setComNumber(kBenchCom);
    port.setBaud(38400);
    port.setAutoOpen(false);
    port.setOutSize(kThroughputOutSize);
    port.setHwFlowOptions({serial::HwFlowOption::UseRts, serial::HwFlowOption::RequireCts});
    port.setBufferFull(2000);
    port.setBufferResume(409);
    port.setOpen(true);

    // Alternate short rounds of both writers so that load from elsewhere on the machine hits
    // both alike; the figure is the median of the per-pair ratios.
    std::vector<double> ratios, raws, puts, rawCpu, putCpu;
    {
        Reader reader(pty.master);
        for (int round = 0; round < kThroughputRounds; ++round) {
            double cpu = 0;
            raws.push_back(roundRate(
                reader, kThroughputRound, [&] { return rawBlock(rawFd); }, &cpu));
            rawCpu.push_back(cpu);
            puts.push_back(roundRate(
                reader, kThroughputRound, [&] { return putBlocks(port); }, &cpu));
            putCpu.push_back(cpu);
            ratios.push_back(puts.back() / raws.back());
        }
    }
    ::close(rawFd);
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("BENCH serial_raw_write_mb_per_s %.1f MB/s\n", median(raws) / 1e6);
    std::printf("BENCH serial_put_block_mb_per_s %.1f MB/s\n", median(puts) / 1e6);
    std::printf("BENCH serial_raw_write_cpu_us_per_mb %.0f us\n", median(rawCpu));
    std::printf("BENCH serial_put_block_cpu_us_per_mb %.0f us\n", median(putCpu));
    std::printf("BENCH serial_put_throughput_ratio %.3f ratio\n", median(ratios));
    std::fflush(stdout);

    // What recording costs on the same path: CPU per megabyte put with the trace and the log on,
    // over the same with them paused, in alternating rounds. Both are at their largest and wrap,
    // as in a long run.
    std::vector<double> tracedRatios;
    {
        port.setTraceSize(serial::kTraceSizeLimit);
        port.setLogSize(serial::kLogSizeLimit);
        Reader reader(pty.master);
        for (int round = 0; round < kThroughputRounds; ++round) {
            double plainCpu = 0, tracedCpu = 0;
            port.setTracing(serial::TraceLogState::Pause);
            port.setLogging(serial::TraceLogState::Pause);
            roundRate(
                reader, kThroughputRound, [&] { return putBlocks(port); }, &plainCpu);
            port.setTracing(serial::TraceLogState::On);
            port.setLogging(serial::TraceLogState::On);
            roundRate(
                reader, kThroughputRound, [&] { return putBlocks(port); }, &tracedCpu);
            if (plainCpu > 0) tracedRatios.push_back(tracedCpu / plainCpu);
        }
        // Nothing of this is meant for a file at close.
        port.setTracing(serial::TraceLogState::Off);
        port.setLogging(serial::TraceLogState::Off);
    }
    std::printf("BENCH serial_put_traced_cpu_ratio %.3f ratio\n", median(tracedRatios));
    std::fflush(stdout);

    // Drain anything left so the latency runs start from an empty line.
    port.flushInBuffer();
    std::printf("BENCH serial_prompt_latency_ms_median %.3f ms\n", promptLatencyMedianMs(pty, port));
    std::fflush(stdout);

    {
        Reader drain(pty.master);
        const double cpu0 = cpuSeconds();
        const auto t0 = SteadyClock::now();
        QEventLoop loop;
        QTimer::singleShot(kCpuSeconds * 1000, &loop, &QEventLoop::quit);
        loop.exec();
        std::printf("BENCH serial_idle_cpu_pct %.3f pct\n", 100.0 * (cpuSeconds() - cpu0) / elapsed(t0));
        std::fflush(stdout);

        const double cpu1 = cpuSeconds();
        const auto t1 = SteadyClock::now();
        const int32_t ticks = kCpuSeconds * 1000 / serial::kTickMs;
        const bool found = port.waitForString("never sent", ticks, true, false);
        std::printf("BENCH serial_wait_cpu_pct %.3f pct\n", 100.0 * (cpuSeconds() - cpu1) / elapsed(t1));
        if (found) std::fprintf(stderr, "bench_serial: the wait should have timed out\n");
    }
    port.setOpen(false);
    return 0;
}
