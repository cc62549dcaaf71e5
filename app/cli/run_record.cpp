// The JSON run record of a command-line run.
#include "app/cli/run_record.h"

#include "app/cli/cli_options.h"
#include "serial/shown_text.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
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
    return text(escapeFileName(ec ? path : absolute.lexically_normal().string()));
}

} // namespace

RunRecord::RunRecord(const std::string& script, const std::string& port) {
    record_["tool_version"] = BRIMWELL_VERSION;
    record_["script"] = pathText(script);
    record_["port"] = text(escapeFileName(port));
    record_["device"] = text(escapeFileName(port));
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
    record_["device"] = QDir::cleanPath(text(escapeFileName(path)));
}

void RunRecord::addText(const char* kind, const std::string& t) {
    texts_.append(QJsonObject{{"time", now()}, {"kind", kind}, {"text", text(t)}});
}

void RunRecord::addDataFile(const script::DataFileResult& f) {
    char checksum[16];
    std::snprintf(checksum, sizeof checksum, "%04x", static_cast<unsigned>(f.checksum) & 0xFFFFu);
    QJsonObject o{{"name", pathText(f.fileName)},
                  {"size", f.fileSize},
                  {"checksum", checksum},
                  {"address", text(f.loadAddress)},
                  {"version", text(f.version)},
                  {"blocks", f.blocks},
                  {"data_phase_seconds", f.dataPhaseSeconds},
                  {"outcome", f.succeeded ? "completed" : "failed"}};
    // A rate over no time would be infinite; JSON has no such number.
    if (f.dataPhaseSeconds > 0) o["bytes_per_second"] = f.fileSize / f.dataPhaseSeconds;
    files_.append(o);
}

void RunRecord::finish(int exitCode, const std::string& outcome, const std::string& summary) {
    record_["ended"] = now();
    record_["exit_status"] = exitCode;
    record_["outcome"] = text(outcome);
    record_["summary"] = text(summary);
    record_["files"] = files_;
    record_["texts"] = texts_;
}

std::string outcomeOf(int exitCode, bool stopRequested) {
    if (exitCode == kExitCompleted) return "completed";
    if (stopRequested) return "stopped";
    return exitCode == kExitSetup ? "setup-error" : "failed";
}

std::string outputFileProblem(const std::string& path) {
    const QFileInfo file(text(path));
    if (file.isDir()) return "it is a directory";
    const std::string dir = file.absolutePath().toStdString();
    if (::access(dir.c_str(), W_OK) != 0) return dir + ": " + std::strerror(errno);
    if (file.exists() && !file.isWritable()) return "the file is not writable";
    return {};
}

bool writeReport(const std::string& path, const QJsonArray& units, std::string& error) {
    QSaveFile file(text(path));
    const QByteArray doc = QJsonDocument(QJsonObject{{"units", units}}).toJson(QJsonDocument::Indented);
    if (file.open(QIODevice::WriteOnly) && file.write(doc) == doc.size() && file.commit()) return true;
    error = "cannot write the report " + path + ": " + file.errorString().toStdString();
    return false;
}

} // namespace brimwell::cli
