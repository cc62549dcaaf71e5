// A throw-away PostgreSQL cluster for a test or a benchmark: initdb and the server in a temporary
// directory, reached only through a Unix socket there. initdb and the server refuse to run as
// root, so as root they run as nobody.
#pragma once

#include "support/temp_dir.h"

#include <string>
#include <vector>

namespace brimwell::testing {

class PgCluster {
  public:
    // `durable`: the server syncs its writes to disk as a real one does (benchmarks); tests skip that.
    explicit PgCluster(bool durable = false);
    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    // Creates the cluster on the first call; starts the server. False with error().
    bool start();
    // Stops the server at once (its clients are cut off); start() brings it back.
    bool stop();
    // The record store's name of the cluster's database "postgres".
    std::string url() const;
    // Runs one SQL statement through psql; its output, one line a row.
    std::string sql(const std::string& statement);
    const std::string& error() const { return error_; }

  private:
    bool tool(const std::string& program, const std::vector<std::string>& args);
    TempDir dir_;
    std::string bin_, data_, error_, output_;
    bool durable_, created_ = false, running_ = false;
};

} // namespace brimwell::testing
