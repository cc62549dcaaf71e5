// Where run records go: "sqlite:PATH" (a file on this machine) or "postgresql://USER@HOST[:PORT]/DB"
// (a line's shared store; "?host=/DIR" reaches the server through its Unix socket in DIR). A
// password is never part of the name: PostgreSQL's own .pgpass file (or the one PGPASSFILE names)
// gives it.
#pragma once

#include <QString>

#include <optional>

namespace brimwell::records {

struct StoreLocation {
    enum class Kind { Sqlite, Postgres };
    Kind kind = Kind::Sqlite;
    QString path; // SQLite: the database file
    QString host, user, database;
    int port = 0; // 0: the server's default
    QString url;  // as the user wrote it, for messages

    bool shared() const { return kind == Kind::Postgres; }
};

// Nothing, with the reason in `error`, for a malformed name or one that carries a password.
std::optional<StoreLocation> parseStoreLocation(const QString& url, QString& error);

// $XDG_DATA_HOME/brimwell/records.sqlite (~/.local/share when XDG_DATA_HOME is not set): a station's
// own store, and the journal of a machine that records into a shared store.
QString defaultStorePath();

// The store a command was asked to record into: `option` (--records) when given, else
// $BRIMWELL_RECORDS; empty when neither names one.
QString requestedStoreUrl(const QString& option);

// This machine's name in the records: $BRIMWELL_STATION, else the host name.
QString stationName();

} // namespace brimwell::records
