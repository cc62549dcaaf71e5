// brimwell-example-data OUTDIR: writes the example data files (firmware.bin, config.bin) that
// examples/flash_unit.sld flashes. Deterministic, so every build makes the same bytes.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr size_t kFirmwareSize = 384 * 1024;
constexpr size_t kConfigSize = 4001; // two whole blocks and a one-byte remainder

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> firmware() {
    // Every byte value occurs, including the unit's prompt characters and CR/LF.
    std::vector<uint8_t> out(kFirmwareSize);
    uint32_t x = 0x1234567u;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 11);
    }
    return out;
}

std::vector<uint8_t> config() {
    std::string text;
    for (int i = 0; text.size() < kConfigSize; ++i)
        text += "channel" + std::to_string(i) + "=gain:" + std::to_string((i * 37) % 100) + ";\r\n";
    text.resize(kConfigSize);
    return {text.begin(), text.end()};
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: brimwell-example-data OUTDIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    if (!writeFile(dir + "/firmware.bin", firmware()) || !writeFile(dir + "/config.bin", config())) {
        std::perror(("brimwell-example-data: writing into " + dir).c_str());
        return 1;
    }
    return 0;
}
