// The JSON run record of a command-line run.
#include "app/cli/run_record.h"

#include "app/cli/cli_options.h"
#include "records/store_location.h"
#include "script/file_pieces.h"
#include "serial/finder/port_finder.h"
#include "serial/shown_text.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSysInfo>
#include <QUuid>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <unistd.h>

#ifndef BRIMWELL_VERSION
#define BRIMWELL_VERSION "unknown"
#endif

namespace brimwell::cli {
namespace {

QString now() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QString text(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// A path as the record shows it: absolute, and escaped byte for byte where it is not UTF-8.
QString pathText(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return text(serial::escapeFileName(ec ? path : absolute.lexically_normal().string()));
}

// The file's SHA-256 in hexadecimal; "" when it cannot be read. Only a regular file that a load
// command could carry is hashed: a FIFO or device would hold the run at its open or feed it without
// end, and a larger file (one that was refused) would take minutes.
QString sha256Of(const std::string& path) {
    if (!script::notRegularFile(path).empty()) return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const script::PieceReading how{INT32_MAX, true, {}};
    int error = 0;
    const script::ReadEnd end = script::readInPieces(
        path, how,
        [&](std::string_view piece) {
            hash.addData(QByteArrayView(piece.data(), static_cast<qsizetype>(piece.size())));
            return true;
        },
        error);
    return end == script::ReadEnd::Whole ? QString::fromLatin1(hash.result().toHex()) : QString();
}

QString userName() {
    const passwd* pw = ::getpwuid(::geteuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : qEnvironmentVariable("USER");
}

} // namespace

RunRecord::RunRecord(const std::string& script, const std::string& port) {
    record_["id"] = QUuid::createUuid().toString(QUuid::WithoutBraces);
    record_["station"] = records::stationName();
    record_["host"] = QSysInfo::machineHostName();
    record_["user"] = userName();
    record_["tool_version"] = BRIMWELL_VERSION;
    record_["script"] = script.empty() ? QString() : pathText(script); // the Upload button runs none
    record_["script_sha256"] = sha256Of(script);
    record_["port"] = text(serial::escapeFileName(port));
    record_["device"] = text(serial::escapeFileName(port));
    record_["started"] = now();
}

void RunRecord::setDevice(const std::string& device) {
    // A link or a by-id path names the device of the day; the record keeps which one it was.
    // Read link by link rather than with realpath(), which emulated devices in tests replace.
    std::string path = device;
    char target[4096];
    for (int hops = 0; hops < 40; ++hops) {
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) break;
        const std::string link(target, static_cast<size_t>(n));
        path = link[0] == '/' ? link : path.substr(0, path.rfind('/') + 1) + link;
    }
    record_["device"] = QDir::cleanPath(text(serial::escapeFileName(path)));
    for (const serial::SerialPortInfo& port : serial::findSerialPorts()) {
        if ((port.device != path && port.device != device) || port.vendorId.empty()) continue;
        record_["adapter_vendor"] = text(port.vendorId);
        record_["adapter_product"] = text(port.productId);
        record_["adapter_serial"] = text(serial::escapeFileName(port.serialNumber));
    }
}

void RunRecord::addAnswer(const std::string& query, const std::string& answer) {
    answers_.append(QJsonObject{{"question", text(serial::escapeFileName(query))},
                                {"answer", text(serial::escapeFileName(answer))}});
}

void RunRecord::setLastAnswer(const std::string& answer) {
    record_["last_answer"] = text(serial::escapeFileName(answer));
}

void RunRecord::setTags(const std::vector<std::pair<std::string, std::string>>& tags) {
    QJsonObject o;
    for (const auto& [key, value] : tags)
        o[text(serial::escapeFileName(key))] = text(serial::escapeFileName(value));
    record_["tags"] = o;
}

void RunRecord::addText(const char* kind, const std::string& t) {
    texts_.append(QJsonObject{{"time", now()}, {"kind", kind}, {"text", text(t)}});
}

void RunRecord::addMessage(const script::RunError& message) {
    addText("message", message.text);
    if (message.failure() && !firstFailure_) firstFailure_ = text(message.text);
}

void RunRecord::addDataFile(const script::DataFileResult& f) {
    char checksum[16];
    std::snprintf(checksum, sizeof checksum, "%04x", static_cast<unsigned>(f.checksum) & 0xFFFFu);
    QJsonObject o{{"name", pathText(f.fileName)},
                  {"sha256", sha256Of(f.fileName)},
                  {"bytes_sent", bytesSent_},
                  {"size", f.fileSize},
                  {"checksum", checksum},
                  {"address", text(f.loadAddress)},
                  {"version", text(f.version)},
                  {"blocks", f.blocks},
                  {"data_phase_seconds", f.dataPhaseSeconds},
                  {"outcome", f.succeeded ? "completed" : "failed"}};
    // A rate over no time would be infinite; JSON has no such number.
    if (f.dataPhaseSeconds > 0) o["bytes_per_second"] = f.fileSize / f.dataPhaseSeconds;
    if (!f.failure.empty()) o["reason"] = text(f.failure);
    files_.append(o);
    bytesSent_ = 0;
}

void RunRecord::finish(int exitCode, const std::string& outcome, const std::string& summary) {
    record_["ended"] = now();
    record_["exit_status"] = exitCode;
    record_["outcome"] = text(outcome);
    record_["summary"] = text(summary);
    record_["files"] = files_;
    record_["texts"] = texts_;
    record_["answers"] = answers_;
    // The first failure the operator was shown, else the line that said how the run ended.
    if (outcome != "completed") record_["failure"] = firstFailure_.value_or(text(summary));
}

std::string outcomeOf(int exitCode, bool stopRequested) {
    // A unit that passed keeps its verdict when a file of its record was lost.
    if (exitCode == kExitCompleted || exitCode == kExitRecordIncomplete) return "completed";
    if (stopRequested) return "stopped";
    return exitCode == kExitSetup ? "setup-error" : "failed";
}

} // namespace brimwell::cli
