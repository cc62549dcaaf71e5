// The network device layers: Telnet framing and port names alone, then socket:// and rfc2217://
// through a real ser2net in front of a pseudo-terminal whose far end the test plays.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "core_test_util.h"
#include "serial/device_layers.h"
#include "serial/error_codes.h"
#include "serial/net_endpoint.h"
#include "serial/setup_stop.h"
#include "serial/socket_device.h"
#include "serial/telnet_codec.h"
#include "serial/thread_engine.h"
#include "support/ser2net_server.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"

namespace brimwell::test {
namespace {

// Decodes the pieces in turn: "data|commands", commands as "VERB OPTION;" or "SB OPTION bytes;".
std::string decoded(const std::vector<std::string>& pieces) {
    std::string data, commands;
    serial::telnet::Decoder d({[&](uint8_t verb, uint8_t opt) {
                                   commands += std::to_string(verb) + " " + std::to_string(opt) + ";";
                               },
                               [&](uint8_t opt, const std::string& p) {
                                   commands += "SB " + std::to_string(opt);
                                   for (char b : p)
                                       commands += " " + std::to_string(uint8_t(b));
                                   commands += ";";
                               }});
    for (const auto& piece : pieces) {
        std::string out(piece.size(), '\0');
        out.resize(d.decode(reinterpret_cast<const uint8_t*>(piece.data()), piece.size(),
                            reinterpret_cast<uint8_t*>(out.data())));
        data += out;
    }
    return data + "|" + commands;
}

TEST(TelnetDecoder, SplitsDataFromCommandsAcrossPieces) {
    using namespace std::string_literals;
    const std::string iac(1, char(255));
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"ab" + iac + iac + "c"}, "ab\377c|"},
        {{"a" + iac, iac + "b"}, "a\377b|"},
        {{iac + "\xfd", ",x"}, "x|253 44;"},
        {{iac + "\xfa,e\x00\x01"s + iac + iac + "\x02" + iac, "\xf0z"}, "z|SB 44 101 0 1 255 2;"},
        {{iac + "\xf1q", iac + "\xfb\x01"}, "q|251 1;"}, // NOP dropped, WILL ECHO passed on
        // A sub-negotiation past its bound is no protocol of ours: decoding stops there.
        {{iac + "\xfa," + std::string(serial::telnet::kMaxSubnegotiation + 1, 'x') + iac +
          "\xf0"
          "data"},
         "|"},
    };
    for (const auto& [pieces, expected] : cases)
        EXPECT_EQ(decoded(pieces), expected);
}

TEST(NetPortNames, ParseHostAndPort) {
    struct Row {
        const char* name;
        serial::NetScheme scheme;
        const char* host; // nullptr: refused
        const char* port;
    };
    for (const Row& r :
         std::vector<Row>{{"rfc2217://unit7:2001", serial::NetScheme::Rfc2217, "unit7", "2001"},
                          {"SOCKET://10.0.0.5:4001/", serial::NetScheme::Socket, "10.0.0.5", "4001"},
                          {"rfc2217://[::1]:7000", serial::NetScheme::Rfc2217, "::1", "7000"},
                          {"rfc2217://unit7", serial::NetScheme::Rfc2217, nullptr, nullptr},
                          {"socket://:4001", serial::NetScheme::Socket, nullptr, nullptr},
                          {"socket://::1:4001", serial::NetScheme::Socket, nullptr, nullptr},
                          {"/dev/ttyUSB0", serial::NetScheme::None, nullptr, nullptr}}) {
        EXPECT_EQ(serial::netSchemeOf(r.name), r.scheme) << r.name;
        const auto e = serial::parseNetEndpoint(r.name);
        ASSERT_EQ(e.has_value(), r.host != nullptr) << r.name;
        if (e) {
            EXPECT_EQ(e->host + " " + e->port, std::string(r.host) + " " + r.port);
        }
    }
}

using Mode = Ser2netServer::Mode;

// A network port opened through ser2net on a pty; the test plays the unit on the master side.
struct NetPort {
    explicit NetPort(Mode mode) {
        EXPECT_TRUE(pty.ok() && pty.holdSlave());
        EXPECT_TRUE(server.start(pty.slavePath(), mode, dir.file("")));
        port = std::make_unique<serial::ThreadEngine>(serial::makeDeviceLayer(server.url()));
        openResult = port->initPort(server.url(), 38400, serial::kParityNone, 8, 1, 4096, 8192,
                                    serial::kOpenDtrOn | serial::kOpenRtsOn);
    }
    std::string receive(size_t n) {
        std::string got(n, '\0');
        waitUntil([&] { return port->inBuffUsed() >= n; }, 10000);
        got.resize(std::max(port->getBlock(got.data(), n), 0));
        return got;
    }
    // Whether the pty's line speed (as the server set it) becomes `want` within ten seconds.
    bool lineSpeedBecomes(speed_t want) const {
        return waitUntil(
            [&] {
                termios t{};
                const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
                ::tcgetattr(fd, &t);
                ::close(fd);
                return ::cfgetospeed(&t) == want;
            },
            10000);
    }
    testing::TempDir dir;
    PtyPair pty;
    Ser2netServer server;
    std::unique_ptr<serial::Dispatcher> port;
    int32_t openResult = 0;
};

class ThroughSer2net : public ::testing::TestWithParam<Mode> {};

TEST_P(ThroughSer2net, CarriesEveryByteValueBothWays) {
    NetPort net(GetParam());
    ASSERT_EQ(net.openResult, 0);
    std::string all;
    for (int round = 0; round < 8; ++round)
        for (int b = 0; b < 256; ++b)
            all.push_back(char(b));
    ASSERT_EQ(net.port->putBlock(all.data(), all.size()), 0);
    EXPECT_EQ(net.pty.read(all.size(), 10000), all);
    ASSERT_TRUE(net.pty.write(all));
    EXPECT_EQ(net.receive(all.size()), all);
    // The line settings reach the device behind the server only over RFC 2217 (the server starts
    // it at 9600).
    const bool controlled = GetParam() == Mode::Rfc2217;
    EXPECT_TRUE(net.lineSpeedBecomes(controlled ? B38400 : B9600));
    ASSERT_EQ(net.port->changeBaud(57600), 0);
    EXPECT_TRUE(net.lineSpeedBecomes(controlled ? B57600 : B9600));
    // A transmit flush never takes back what the server holds already.
    ASSERT_EQ(net.port->putBlock(all.data(), all.size()), 0);
    ASSERT_TRUE(waitUntil([&] { return net.port->outBuffUsed() == 0; }, 10000));
    net.port->flushOutBuffer();
    EXPECT_EQ(net.pty.read(all.size(), 10000), all);
}

TEST_P(ThroughSer2net, ReportsTheServerGoingAwayWhileSending) {
    NetPort net(GetParam());
    ASSERT_EQ(net.openResult, 0);
    auto* layer = dynamic_cast<serial::SocketDevice*>(&net.port->device());
    ASSERT_NE(layer, nullptr);
    const std::string block = patternBytes(2000);
    net.port->putBlock(block.data(), block.size());
    net.server.stop();
    EXPECT_TRUE(waitUntil(
        [&] {
            net.port->putBlock(block.data(), block.size());
            return layer->lostCode() == serial::result::kSocketConnectionLost;
        },
        5000));
}

INSTANTIATE_TEST_SUITE_P(Net, ThroughSer2net, ::testing::Values(Mode::Raw, Mode::Rfc2217),
                         [](const auto& info) { return info.param == Mode::Raw ? "Socket" : "Rfc2217"; });

TEST(NetPortOpen, FailuresCarryTheirSocketCode) {
    testing::TempDir dir;
    PtyPair pty;
    ASSERT_TRUE(pty.holdSlave());
    Ser2netServer raw; // answers no Telnet at all
    ASSERT_TRUE(raw.start(pty.slavePath(), Mode::Raw, dir.file("")));
    const std::string rawPort = raw.url().substr(raw.url().rfind(':'));
    const std::string refused = "127.0.0.1:" + std::to_string(Ser2netServer::freePort());
    for (const auto& [name, code] : std::vector<std::pair<std::string, int32_t>>{
             {"rfc2217://" + refused, serial::result::kSocketRefused},
             {"socket://" + refused, serial::result::kSocketRefused},
             {"rfc2217://127.0.0.1", serial::result::kSocketBadAddress},
             {"rfc2217://127.0.0.1" + rawPort, serial::result::kSocketNoComPortOption}}) {
        auto port = std::make_unique<serial::ThreadEngine>(serial::makeDeviceLayer(name));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(port->initPort(name, 38400, serial::kParityNone, 8, 1, 4096, 4096, 0), code) << name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << name;
        EXPECT_FALSE(port->isOpen());
    }
}

// Servers that flood or ask without pause hold neither an opening (nor its stop) nor the port up.
TEST(NetPortOpen, HostileServersHoldNothingUp) {
    testing::HostilePeer asker, flooder;
    // 1 MiB before the COM-PORT option: far past what the opening keeps, and quick under a sanitizer.
    ASSERT_TRUE(asker.start("ask-flood") && flooder.start("flood-then-accept", "1"));
    auto url = [](const testing::HostilePeer& p) { return "rfc2217://127.0.0.1:" + std::to_string(p.port); };
    std::thread stop([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        serial::raiseSetupStop();
    });
    auto asked = std::make_unique<serial::ThreadEngine>(serial::makeDeviceLayer(url(asker)));
    EXPECT_EQ(asked->initPort(url(asker), 38400, serial::kParityNone, 8, 1, 4096, 4096, 0),
              serial::result::kSocketStopped);
    stop.join();
    serial::clearSetupStop();

    auto flooded = std::make_unique<serial::ThreadEngine>(serial::makeDeviceLayer(url(flooder)));
    ASSERT_EQ(flooded->initPort(url(flooder), 38400, serial::kParityNone, 8, 1, 4096, 4096, 0), 0);
    // Only what waits now is purged while the flood goes on; what the opening could not keep of
    // the 1 MiB before the COM-PORT option is an overrun.
    EXPECT_EQ(flooded->flushInBuffer(), 0);
    EXPECT_TRUE(waitUntil([&] { return flooded->getLineError() == 1; }, 5000));
}

} // namespace
} // namespace brimwell::test
