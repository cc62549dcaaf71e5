// A station's adapters from udev and from the file system.
#include "app/cli/station_sources.h"

#include "serial/finder/adapter_watch.h"

#include <QFileSystemWatcher>
#include <QTimer>

#include <glob.h>

namespace brimwell::cli {
namespace {

// The file system tells about a watched directory at once; the poll covers directories that do
// not exist yet and globs with wildcards above their last component.
constexpr int kPathPollMs = 1000;

std::string directoryOf(const std::string& pattern) {
    const size_t slash = pattern.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : pattern.substr(0, slash);
}

serial::SerialPortInfo pathAdapter(const std::string& path) {
    serial::SerialPortInfo info;
    info.device = path;
    return info;
}

} // namespace

bool isPathGlob(const std::string& match) {
    return !match.starts_with("usb:") && !match.starts_with("/dev/");
}

StationSources::StationSources(const std::vector<std::string>& matches, QObject* parent)
    : QObject(parent), udev_(new serial::AdapterWatch(this)) {
    connect(udev_, &serial::AdapterWatch::appeared, this, &StationSources::appeared);
    connect(udev_, &serial::AdapterWatch::disappeared, this, &StationSources::disappeared);
    for (const std::string& m : matches)
        if (isPathGlob(m)) pathGlobs_.push_back(m);
    if (pathGlobs_.empty()) return;
    dirs_ = new QFileSystemWatcher(this);
    for (const std::string& g : pathGlobs_)
        dirs_->addPath(QString::fromStdString(directoryOf(g)));
    connect(dirs_, &QFileSystemWatcher::directoryChanged, this, &StationSources::rescanPaths);
    poll_ = new QTimer(this);
    connect(poll_, &QTimer::timeout, this, &StationSources::rescanPaths);
    poll_->start(kPathPollMs);
    paths_ = globbed();
}

StationSources::~StationSources() = default;

std::set<std::string> StationSources::globbed() const {
    std::set<std::string> found;
    for (const std::string& pattern : pathGlobs_) {
        glob_t g{};
        // Entries come from the directory itself: a link whose target is gone (a test bed with no
        // unit on it) is still there.
        if (::glob(pattern.c_str(), GLOB_NOSORT, nullptr, &g) == 0)
            for (size_t i = 0; i < g.gl_pathc; ++i)
                found.insert(g.gl_pathv[i]);
        ::globfree(&g);
    }
    return found;
}

void StationSources::rescanPaths() {
    // A directory that was made since is watched from now on.
    for (const std::string& g : pathGlobs_)
        if (!dirs_->directories().contains(QString::fromStdString(directoryOf(g))))
            dirs_->addPath(QString::fromStdString(directoryOf(g)));
    std::set<std::string> now = globbed();
    std::set<std::string> before = std::move(paths_);
    paths_ = now;
    for (const std::string& p : before)
        if (!now.contains(p)) emit disappeared(pathAdapter(p));
    for (const std::string& p : now)
        if (!before.contains(p)) emit appeared(pathAdapter(p));
}

std::vector<serial::SerialPortInfo> StationSources::present() const {
    std::vector<serial::SerialPortInfo> all = udev_->adapters();
    for (const std::string& p : paths_)
        all.push_back(pathAdapter(p));
    return all;
}

bool StationSources::watching() const {
    return udev_->watching() || !pathGlobs_.empty();
}

} // namespace brimwell::cli
