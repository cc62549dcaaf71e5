// Writing received images to the store directory.
#include "tools/unit-sim/store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brimwell::unitsim {
namespace {

std::string safe(const std::string& s) {
    std::string out;
    for (char c : s) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '_' || c == '-';
        out.push_back(ok ? c : '-');
    }
    if (out.empty() || out == "." || out == "..") return std::string(1, '-');
    return out;
}

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

} // namespace

std::string imageFileName(const LoadRecord& r) {
    return safe(r.keyword) + "_" + safe(r.address) + "_" + safe(r.version) + ".bin";
}

std::string storeImage(const std::string& dir, const LoadRecord& r, const std::vector<uint8_t>& image,
                       std::string& error) {
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot create " + dir + ": " + std::strerror(errno);
        return {};
    }
    const std::string path = dir + "/" + imageFileName(r);
    const std::string tmp = path + ".part";
    // A .part left behind (or planted: a link to some other file) is removed, never written
    // through; the new one is created afresh and not through a link.
    ::unlink(tmp.c_str());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write " + tmp + ": " + std::strerror(errno);
        return {};
    }
    size_t done = 0;
    while (done < image.size()) {
        const ssize_t w = ::write(fd, image.data() + done, image.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            error = "cannot write " + tmp + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(tmp.c_str());
            return {};
        }
        done += static_cast<size_t>(w);
    }
    if (::close(fd) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot store " + path + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return {};
    }
    return path;
}

std::string loadReport(const LoadRecord& r, const std::vector<uint8_t>& image, const std::string& dir,
                       const std::string& source) {
    const std::string facts = " keyword=" + r.keyword + " address=" + r.address + " version=" + r.version +
                              " size=" + std::to_string(r.size) + " received=" + std::to_string(r.received) +
                              " checksum=" + hex(r.receivedChecksum) +
                              " announced=" + hex(r.announcedChecksum) +
                              " first_ns=" + std::to_string(r.firstByte) +
                              " last_ns=" + std::to_string(r.lastByte) + " source=" + source;
    if (!r.ok) return "LOAD-ERROR " + r.error + facts;
    if (dir.empty()) return "RECEIVED -" + facts;
    std::string error;
    const std::string path = storeImage(dir, r, image, error);
    if (path.empty()) return "STORE-ERROR " + error + facts;
    return "STORED " + path + facts;
}

} // namespace brimwell::unitsim
