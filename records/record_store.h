// One record store (SQLite or PostgreSQL through Qt SQL): the runs with their data files, the _QC
// answers and the tags; the stations' live state; and, in a machine's own store, the queue of
// runs still to be sent to a shared store. A run travels as the JSON object of the run record
// ("brimwell run --report"); the store keeps what can be searched.
#pragma once

#include "records/store_location.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QSqlDatabase>
#include <QStringList>

#include <optional>

namespace brimwell::records {

// The schema this program writes; a store of a newer one is refused.
inline constexpr int kSchemaVersion = 1;

class Statements; // the prepared statements of one transaction

struct RunFilter {
    QString since, until; // UTC times as stored ("2026-12-08T10:00:00.000Z"); empty: open
    QString station, port, serial, script;
    QString outcome; // "passed" (completed) or "failed" (anything else); empty: both
    QList<QPair<QString, QString>> tags;
    int limit = 0;       // 0: every run
    bool details = true; // with each run's files, answers and tags
};

// A tile of a station: what one of its ports does now. The station writes it as states change;
// recording a run also leaves its verdict there.
struct PortState {
    QString station, port;
    QString state;    // "idle", "waiting", "flashing", "passed", "failed", "gone"
    int percent = -1; // -1: not flashing
    QString detail;   // the file being sent, the last text
};

class RecordStore {
  public:
    RecordStore();
    ~RecordStore();
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;

    // Opens the store, creating its tables on first use (on PostgreSQL under an advisory lock, so
    // that stations starting together create them once). False with error(): the store cannot be
    // reached or opened, or its schema is newer than this program's.
    bool open(const StoreLocation& where);
    const QString& error() const { return error_; }
    const StoreLocation& location() const { return where_; }

    // Writes the runs in one transaction; a run whose id the store already holds is left as it is,
    // so a run sent twice is stored once. `queue` also puts each new run into the queue of runs to
    // send on. The number of runs newly stored, or -1 with error() (nothing written then).
    int insertRuns(const QList<QJsonObject>& runs, bool queue = false);

    // The runs that match, newest first, each in the run record's JSON form.
    QJsonArray runs(const RunFilter& filter);
    // Runs, passed, yield and the median run time, one row per distinct value of `keys` (among
    // "day", "station", "script").
    QJsonArray summary(const RunFilter& filter, const QStringList& keys);

    // The send queue: the oldest queued runs, and taking runs off it once they arrived.
    QList<QJsonObject> queuedRuns(int limit);
    bool dequeue(const QStringList& ids);
    int queuedCount();

    // A station's heartbeat (its counters since it started), and one tile's state.
    bool writeHeartbeat(const QString& station, int passed, int failed);
    bool writePortState(const PortState& state);
    // Every station with its last heartbeat and its ports' tiles.
    QJsonArray stations();

  private:
    bool prepareSchema();
    bool exec(const QString& sql);
    bool fail(const QString& what, const QString& why);
    bool insertRun(const QJsonObject& run, bool queue, bool& inserted, Statements& statements);
    void attachDetails(QJsonArray& runs, QList<QJsonObject>& objects);

    StoreLocation where_;
    QString connection_;
    QString error_;
};

// The current time as the store keeps times: UTC, ISO 8601 with milliseconds.
QString storeTime();

// A time as an operator writes it, as the store keeps times: "2026-12-08", "2026-12-08T14:30[:05]"
// or "2026-12-08 14:30" (local time unless it ends in Z or an offset), "today", "yesterday", or an
// age: "90m", "24h", "7d". Nothing when it is none of these.
std::optional<QString> parseRecordTime(const QString& text);

} // namespace brimwell::records
