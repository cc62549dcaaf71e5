// The test's own PostgreSQL cluster.
#include "support/pg_cluster.h"

#include "support/sim_process.h"

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace brimwell::testing {
namespace {

constexpr int kPort = 5432; // only names the socket file: the server listens on no TCP address

std::string installedBinDir() {
    std::error_code ec;
    std::string best;
    for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec))
        if (std::filesystem::exists(e.path() / "bin/initdb") && e.path().string() > best)
            best = e.path().string();
    return best.empty() ? std::string() : best + "/bin";
}

} // namespace

PgCluster::PgCluster(bool durable) : bin_(installedBinDir()), data_(dir_.file("data")), durable_(durable) {
    // The server (as nobody) makes its socket and data here.
    ::chmod(dir_.path().c_str(), 0777);
}

PgCluster::~PgCluster() {
    if (running_) stop();
}

bool PgCluster::tool(const std::string& program, const std::vector<std::string>& args) {
    if (bin_.empty()) {
        error_ = "no PostgreSQL server installed (scripts/install-deps installs it)";
        return false;
    }
    std::vector<std::string> all;
    std::string runner = bin_ + "/" + program;
    if (::geteuid() == 0) {
        all = {"--reuid=65534", "--regid=65534", "--clear-groups", runner};
        runner = "/usr/bin/setpriv";
    }
    all.insert(all.end(), args.begin(), args.end());
    ChildProcess p;
    p.workingDir = dir_.path();
    if (!p.start(runner, all, {"LC_ALL=C"}) || p.wait(std::chrono::seconds(60)) != 0) {
        error_ = program + " failed: " + p.stderrText();
        for (const auto& l : p.lines())
            error_ += "\n" + l;
        return false;
    }
    output_.clear();
    for (const auto& l : p.lines())
        output_ += l + "\n";
    return true;
}

bool PgCluster::start() {
    if (!created_) {
        if (!tool("initdb", {"-D", data_, "-A", "trust", "-U", "nobody", "--no-sync"})) return false;
        created_ = true;
    }
    running_ = tool("pg_ctl", {"-D", data_, "-w", "-l", dir_.file("server.log"), "-o",
                               "-k " + dir_.path() + " -c listen_addresses= -p " + std::to_string(kPort) +
                                   (durable_ ? "" : " -c fsync=off"),
                               "start"});
    return running_;
}

bool PgCluster::stop() {
    running_ = !tool("pg_ctl", {"-D", data_, "-w", "-m", "immediate", "stop"});
    return !running_;
}

std::string PgCluster::url() const {
    return "postgresql://nobody@/postgres?host=" + dir_.path() + "&port=" + std::to_string(kPort);
}

std::string PgCluster::sql(const std::string& statement) {
    if (!tool("psql", {"-h", dir_.path(), "-p", std::to_string(kPort), "-U", "nobody", "-d", "postgres", "-A",
                       "-t", "-c", statement}))
        return "<psql failed: " + error_ + ">";
    return output_;
}

} // namespace brimwell::testing
