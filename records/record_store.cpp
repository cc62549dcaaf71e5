// The record store over Qt SQL. Times are ISO 8601 UTC texts, which sort as the times do in both
// databases; the SQL is the part SQLite and PostgreSQL share (ON CONFLICT, LIMIT, substr).
#include "records/record_store.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <atomic>
#include <map>

namespace brimwell::records {
namespace {

// Held while the tables are created, so that stations starting together create them once.
constexpr qint64 kSchemaLockKey = 0x6272696d77656c6c; // "brimwell"
constexpr int kBusyTimeoutMs = 30000;                 // eight units finishing together wait their turn
constexpr int kConnectTimeoutSeconds = 5;
constexpr int kDetailChunk = 500; // run ids per query for their files, answers and tags

const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS runs (id TEXT PRIMARY KEY, station TEXT NOT NULL, host TEXT, os_user TEXT,"
    " tool_version TEXT, script TEXT, script_sha256 TEXT, port TEXT, device TEXT, adapter_vendor TEXT,"
    " adapter_product TEXT, adapter_serial TEXT, started TEXT NOT NULL, ended TEXT NOT NULL,"
    " seconds DOUBLE PRECISION, flash_seconds DOUBLE PRECISION, exit_status INTEGER, outcome TEXT NOT NULL,"
    " summary TEXT, failure TEXT, last_answer TEXT)",
    "CREATE INDEX IF NOT EXISTS runs_started ON runs (started)",
    "CREATE INDEX IF NOT EXISTS runs_port ON runs (port, started)",
    "CREATE TABLE IF NOT EXISTS run_files (run_id TEXT NOT NULL, ordinal INTEGER NOT NULL, name TEXT,"
    " size BIGINT, checksum TEXT, sha256 TEXT, load_address TEXT, version TEXT, blocks INTEGER,"
    " bytes_sent BIGINT, data_seconds DOUBLE PRECISION, outcome TEXT, PRIMARY KEY (run_id, ordinal))",
    "CREATE TABLE IF NOT EXISTS run_answers (run_id TEXT NOT NULL, ordinal INTEGER NOT NULL, question TEXT,"
    " answer TEXT, PRIMARY KEY (run_id, ordinal))",
    "CREATE INDEX IF NOT EXISTS run_answers_answer ON run_answers (answer)",
    "CREATE TABLE IF NOT EXISTS run_tags (run_id TEXT NOT NULL, tag TEXT NOT NULL, value TEXT,"
    " PRIMARY KEY (run_id, tag))",
    "CREATE INDEX IF NOT EXISTS run_tags_value ON run_tags (tag, value)",
    "CREATE TABLE IF NOT EXISTS outbox (run_id TEXT PRIMARY KEY, queued TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS stations (station TEXT PRIMARY KEY, heartbeat TEXT NOT NULL, passed INTEGER,"
    " failed INTEGER)",
    "CREATE TABLE IF NOT EXISTS station_ports (station TEXT NOT NULL, port TEXT NOT NULL, state TEXT,"
    " percent INTEGER, detail TEXT, last_outcome TEXT, last_run_id TEXT, last_ended TEXT, updated TEXT,"
    " PRIMARY KEY (station, port))",
};

enum class Type { Text, Int, Real };
struct Column {
    const char* column;
    const char* key; // in the run record's JSON
    Type type;
};

const Column kRunColumns[] = {
    {"id", "id", Type::Text},
    {"station", "station", Type::Text},
    {"host", "host", Type::Text},
    {"os_user", "user", Type::Text},
    {"tool_version", "tool_version", Type::Text},
    {"script", "script", Type::Text},
    {"script_sha256", "script_sha256", Type::Text},
    {"port", "port", Type::Text},
    {"device", "device", Type::Text},
    {"adapter_vendor", "adapter_vendor", Type::Text},
    {"adapter_product", "adapter_product", Type::Text},
    {"adapter_serial", "adapter_serial", Type::Text},
    {"started", "started", Type::Text},
    {"ended", "ended", Type::Text},
    {"seconds", "seconds", Type::Real},
    {"flash_seconds", "flash_seconds", Type::Real},
    {"exit_status", "exit_status", Type::Int},
    {"outcome", "outcome", Type::Text},
    {"summary", "summary", Type::Text},
    {"failure", "failure", Type::Text},
    {"last_answer", "last_answer", Type::Text},
};
const Column kFileColumns[] = {
    {"name", "name", Type::Text},
    {"size", "size", Type::Int},
    {"checksum", "checksum", Type::Text},
    {"sha256", "sha256", Type::Text},
    {"load_address", "address", Type::Text},
    {"version", "version", Type::Text},
    {"blocks", "blocks", Type::Int},
    {"bytes_sent", "bytes_sent", Type::Int},
    {"data_seconds", "data_phase_seconds", Type::Real},
    {"outcome", "outcome", Type::Text},
};
const Column kAnswerColumns[] = {{"question", "question", Type::Text}, {"answer", "answer", Type::Text}};

template <size_t N> QString columnList(const Column (&columns)[N]) {
    QStringList names;
    for (const Column& c : columns)
        names << c.column;
    return names.join(", ");
}

QVariant bindable(const QJsonValue& v, Type type) {
    if (v.isUndefined() || v.isNull())
        return QVariant(type == Type::Text ? QMetaType(QMetaType::QString) : QMetaType(QMetaType::Double));
    switch (type) {
    case Type::Int:
        return QVariant(static_cast<qlonglong>(v.toDouble()));
    case Type::Real:
        return QVariant(v.toDouble());
    case Type::Text:
        break;
    }
    return QVariant(v.toString());
}

QJsonValue jsonOf(const QVariant& v, Type type) {
    if (v.isNull()) return QJsonValue();
    switch (type) {
    case Type::Int:
        return QJsonValue(v.toLongLong());
    case Type::Real:
        return QJsonValue(v.toDouble());
    case Type::Text:
        break;
    }
    return QJsonValue(v.toString());
}

// Prepares `sql`, binds `values` in order and runs it; its error in `error` when it fails.
bool execute(QSqlQuery& q, const QString& sql, const QVariantList& values, QString& error) {
    q.finish(); // a query used before is done with before it may be set forward-only
    q.setForwardOnly(true);
    q.prepare(sql);
    for (const QVariant& v : values)
        q.addBindValue(v);
    if (q.exec()) return true;
    error = q.lastError().text();
    return false;
}

// The row's columns from `first` on, as the run record's JSON has them.
template <size_t N> QJsonObject objectOf(const QSqlQuery& q, const Column (&columns)[N], int first) {
    QJsonObject o;
    for (const Column& c : columns)
        o[c.key] = jsonOf(q.value(first++), c.type);
    return o;
}

// Seconds between two stored times.
double secondsBetween(const QString& from, const QString& to) {
    const QDateTime a = QDateTime::fromString(from, Qt::ISODateWithMs);
    const QDateTime b = QDateTime::fromString(to, Qt::ISODateWithMs);
    return a.isValid() && b.isValid() ? a.msecsTo(b) / 1000.0 : 0.0;
}

std::atomic<int> connections{0};

// " WHERE ..." for the filter (empty for none), its values appended to `values`.
QString whereOf(const RunFilter& f, QVariantList& values) {
    QStringList where;
    auto add = [&](const QString& condition, const QVariantList& v) {
        where << condition;
        values << v;
    };
    if (!f.since.isEmpty()) add("started >= ?", {f.since});
    if (!f.until.isEmpty()) add("started < ?", {f.until});
    if (!f.station.isEmpty()) add("station = ?", {f.station});
    if (!f.port.isEmpty()) add("port = ?", {f.port});
    if (!f.script.isEmpty()) add("script = ?", {f.script});
    if (f.outcome == "passed") add("outcome = 'completed'", {});
    if (f.outcome == "failed") add("outcome <> 'completed'", {});
    if (!f.serial.isEmpty())
        add("(adapter_serial = ? OR id IN (SELECT run_id FROM run_answers WHERE answer = ?))",
            {f.serial, f.serial});
    for (const auto& [tag, value] : f.tags)
        add("id IN (SELECT run_id FROM run_tags WHERE tag = ? AND value = ?)", {tag, value});
    return where.isEmpty() ? QString() : " WHERE " + where.join(" AND ");
}

} // namespace

// The statements of one transaction, each prepared once: a batch of runs costs a round trip to
// the server per row rather than three.
class Statements {
  public:
    explicit Statements(const QSqlDatabase& db) : db_(db) {}
    // The statement after it ran, or null with `error`.
    QSqlQuery* run(const QString& sql, const QVariantList& values, QString& error) {
        auto it = prepared_.find(sql);
        if (it == prepared_.end()) {
            it = prepared_.emplace(sql, QSqlQuery(db_)).first;
            if (!it->second.prepare(sql)) {
                error = it->second.lastError().text();
                prepared_.erase(it);
                return nullptr;
            }
        }
        QSqlQuery& q = it->second;
        for (int i = 0; i < values.size(); ++i)
            q.bindValue(i, values[i]);
        if (q.exec()) return &q;
        error = q.lastError().text();
        return nullptr;
    }

  private:
    QSqlDatabase db_;
    std::map<QString, QSqlQuery> prepared_;
};

QString storeTime() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

std::optional<QString> parseRecordTime(const QString& text) {
    const QDateTime now = QDateTime::currentDateTime();
    QDateTime t;
    static const QRegularExpression age("^(\\d{1,6})([mhd])$");
    if (const auto m = age.match(text); m.hasMatch()) {
        const qint64 n = m.captured(1).toLongLong();
        const qint64 unit = m.captured(2) == "m" ? 60 : m.captured(2) == "h" ? 3600 : 86400;
        t = now.addSecs(-n * unit);
    } else if (text == "today" || text == "yesterday") {
        t = QDateTime(now.date().addDays(text == "today" ? 0 : -1), QTime(0, 0));
    } else {
        QString iso = text;
        iso.replace(' ', 'T');
        t = QDateTime::fromString(iso, Qt::ISODateWithMs);
        if (!t.isValid()) t = QDateTime(QDate::fromString(iso, Qt::ISODate), QTime(0, 0));
    }
    if (!t.isValid()) return std::nullopt;
    return t.toUTC().toString(Qt::ISODateWithMs);
}

RecordStore::RecordStore() : connection_(QStringLiteral("brimwell-records-%1").arg(++connections)) {}

RecordStore::~RecordStore() {
    if (!QSqlDatabase::contains(connection_)) return;
    QSqlDatabase::database(connection_, false).close();
    QSqlDatabase::removeDatabase(connection_);
}

bool RecordStore::fail(const QString& what, const QString& why) {
    error_ = what + " " + where_.url + ": " + why;
    return false;
}

bool RecordStore::exec(const QString& sql) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (q.exec(sql)) return true;
    error_ = q.lastError().text();
    return false;
}

bool RecordStore::open(const StoreLocation& where) {
    where_ = where;
    const bool sqlite = where.kind == StoreLocation::Kind::Sqlite;
    QSqlDatabase db = QSqlDatabase::addDatabase(sqlite ? "QSQLITE" : "QPSQL", connection_);
    if (!db.isValid()) return fail("cannot open", "Qt has no driver for it (" + db.lastError().text() + ")");
    if (sqlite) {
        QDir().mkpath(QFileInfo(where.path).absolutePath());
        db.setDatabaseName(where.path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    } else {
        db.setHostName(where.host);
        if (where.port > 0) db.setPort(where.port);
        db.setUserName(where.user);
        db.setDatabaseName(where.database);
        db.setConnectOptions(
            QStringLiteral("connect_timeout=%1;application_name=brimwell").arg(kConnectTimeoutSeconds));
    }
    if (!db.open()) return fail("cannot open the record store", db.lastError().text().trimmed());
    return prepareSchema();
}

bool RecordStore::prepareSchema() {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    auto version = [&](int& found) {
        QSqlQuery q(db);
        if (!q.exec("SELECT max(version) FROM schema_version") || !q.next()) return false;
        found = q.value(0).isNull() ? 0 : q.value(0).toInt();
        return found > 0;
    };
    int found = 0;
    if (!version(found)) {
        const bool sqlite = where_.kind == StoreLocation::Kind::Sqlite;
        // Readers are not held up by a writer; set once, the file keeps it.
        if (sqlite) exec("PRAGMA journal_mode=WAL");
        if (!exec(sqlite ? "BEGIN IMMEDIATE"
                         : QStringLiteral("SELECT pg_advisory_lock(%1)").arg(kSchemaLockKey)))
            return fail("cannot read or create the tables of", error_);
        bool ok = true;
        // Another program may have created them while this one waited for the lock (then the
        // statements are not run again: PostgreSQL would print a notice for every table).
        if (!version(found)) {
            for (const char* statement : kSchema)
                ok = ok && exec(statement);
            ok = ok && exec(QStringLiteral("INSERT INTO schema_version VALUES (%1)").arg(kSchemaVersion));
        }
        const QString why = error_;
        if (sqlite)
            exec(ok ? "COMMIT" : "ROLLBACK");
        else
            exec(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(kSchemaLockKey));
        if (!ok) return fail("cannot read or create the tables of", why);
        version(found);
    }
    if (found > kSchemaVersion)
        return fail("refused the record store",
                    QStringLiteral("its schema is version %1, newer than this brimwell knows (version %2); "
                                   "use a newer brimwell with it, or record into another store")
                        .arg(found)
                        .arg(kSchemaVersion));
    return true;
}

bool RecordStore::insertRun(const QJsonObject& run, bool queue, bool& inserted, Statements& statements) {
    QJsonObject row = run;
    if (!row.contains("seconds"))
        row["seconds"] = secondsBetween(run["started"].toString(), run["ended"].toString());
    const QJsonArray files = run["files"].toArray();
    if (!row.contains("flash_seconds")) {
        double flash = 0;
        for (const QJsonValue& f : files)
            flash += f["data_phase_seconds"].toDouble();
        row["flash_seconds"] = flash;
    }
    const QString id = run["id"].toString();
    QSqlQuery* last = nullptr;
    auto run_ = [&](const QString& sql, const QVariantList& values) {
        return (last = statements.run(sql, values, error_)) != nullptr;
    };
    QVariantList values;
    for (const Column& c : kRunColumns)
        values << bindable(row[c.key], c.type);
    const QString marks = QString("?, ").repeated(std::size(kRunColumns) - 1) + "?";
    if (!run_("INSERT INTO runs (" + columnList(kRunColumns) + ") VALUES (" + marks +
                  ") ON CONFLICT (id) DO NOTHING",
              values))
        return false;
    inserted = last->numRowsAffected() == 1;
    if (!inserted) return true;
    auto children = [&](const QString& table, const QJsonArray& items, const auto& columns) {
        const QString marks = QString(", ?").repeated(std::size(columns));
        for (int i = 0; i < items.size(); ++i) {
            QVariantList v{id, i};
            for (const Column& c : columns)
                v << bindable(items[i].toObject()[c.key], c.type);
            if (!run_("INSERT INTO " + table + " (run_id, ordinal, " + columnList(columns) +
                          ") VALUES (?, ?" + marks + ")",
                      v))
                return false;
        }
        return true;
    };
    if (!children("run_files", files, kFileColumns) ||
        !children("run_answers", run["answers"].toArray(), kAnswerColumns))
        return false;
    const QJsonObject tags = run["tags"].toObject();
    for (auto t = tags.begin(); t != tags.end(); ++t)
        if (!run_("INSERT INTO run_tags (run_id, tag, value) VALUES (?, ?, ?)",
                  {id, t.key(), t.value().toString()}))
            return false;
    if (queue && !run_("INSERT INTO outbox (run_id, queued) VALUES (?, ?)", {id, storeTime()})) return false;
    // The port's tile shows the verdict, unless a later run's is there already (a backlog arrives late).
    return run_("INSERT INTO station_ports (station, port, state, percent, detail, last_outcome, last_run_id,"
                " last_ended, updated) VALUES (?, ?, 'idle', -1, '', ?, ?, ?, ?) ON CONFLICT (station, port) "
                "DO UPDATE"
                " SET last_outcome = excluded.last_outcome, last_run_id = excluded.last_run_id,"
                " last_ended = excluded.last_ended, updated = excluded.updated"
                " WHERE station_ports.last_ended IS NULL OR station_ports.last_ended <= excluded.last_ended",
                {run["station"].toString(), run["port"].toString(), run["outcome"].toString(), id,
                 run["ended"].toString(), storeTime()});
}

int RecordStore::insertRuns(const QList<QJsonObject>& runs, bool queue) {
    error_.clear();
    const bool sqlite = where_.kind == StoreLocation::Kind::Sqlite;
    if (!exec(sqlite ? "BEGIN IMMEDIATE" : "BEGIN")) return fail("cannot write to", error_), -1;
    int stored = 0;
    QString failedRun;
    {
        Statements statements(QSqlDatabase::database(connection_, false)); // gone before the transaction ends
        for (const QJsonObject& run : runs) {
            bool inserted = false;
            if (!insertRun(run, queue, inserted, statements)) {
                failedRun = run["id"].toString();
                break;
            }
            stored += inserted ? 1 : 0;
        }
    }
    if (!failedRun.isEmpty()) {
        const QString why = error_;
        exec("ROLLBACK");
        return fail("cannot write the run " + failedRun + " to", why), -1;
    }
    if (!exec("COMMIT")) {
        const QString why = error_;
        exec("ROLLBACK");
        return fail("cannot write to", why), -1;
    }
    return stored;
}

QJsonArray RecordStore::runs(const RunFilter& f) {
    error_.clear();
    QVariantList values;
    QString sql = "SELECT " + columnList(kRunColumns) + " FROM runs" + whereOf(f, values);
    sql += " ORDER BY started DESC, id";
    if (f.limit > 0) sql += QStringLiteral(" LIMIT %1").arg(f.limit);
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    QJsonArray result;
    if (!execute(q, sql, values, error_)) {
        fail("cannot read", error_);
        return result;
    }
    QList<QJsonObject> objects;
    while (q.next())
        objects << objectOf(q, kRunColumns, 0);
    if (f.details) {
        attachDetails(result, objects);
    } else {
        for (const QJsonObject& o : objects)
            result.append(o);
    }
    return result;
}

void RecordStore::attachDetails(QJsonArray& result, QList<QJsonObject>& objects) {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    std::map<QString, QJsonObject*> byId;
    for (QJsonObject& o : objects)
        byId[o["id"].toString()] = &o;
    std::map<QString, QJsonArray> files, answers;
    std::map<QString, QJsonObject> tags;
    for (qsizetype from = 0; from < objects.size(); from += kDetailChunk) {
        QStringList ids;
        for (qsizetype i = from; i < std::min<qsizetype>(objects.size(), from + kDetailChunk); ++i)
            ids << objects[i]["id"].toString();
        const QString marks = QString("?, ").repeated(ids.size() - 1) + "?";
        auto select = [&](const QString& sql, const auto& row) {
            QSqlQuery q(db);
            QString ignored; // details that cannot be read leave the runs without them
            const QString order = sql.contains("ordinal") ? ", ordinal" : "";
            if (!execute(q, sql + " WHERE run_id IN (" + marks + ") ORDER BY run_id" + order,
                         QVariantList(ids.begin(), ids.end()), ignored))
                return;
            while (q.next())
                row(q);
        };
        select(
            "SELECT run_id, " + columnList(kFileColumns) + ", ordinal FROM run_files",
            [&](const QSqlQuery& q) { files[q.value(0).toString()].append(objectOf(q, kFileColumns, 1)); });
        select("SELECT run_id, " + columnList(kAnswerColumns) + ", ordinal FROM run_answers",
               [&](const QSqlQuery& q) {
                   answers[q.value(0).toString()].append(objectOf(q, kAnswerColumns, 1));
               });
        select("SELECT run_id, tag, value FROM run_tags", [&](const QSqlQuery& q) {
            tags[q.value(0).toString()][q.value(1).toString()] = q.value(2).toString();
        });
    }
    for (QJsonObject& o : objects) {
        const QString id = o["id"].toString();
        o["files"] = files[id];
        o["answers"] = answers[id];
        o["tags"] = tags[id];
        result.append(o);
    }
}

QJsonArray RecordStore::summary(const RunFilter& filter, const QStringList& keys) {
    error_.clear();
    // Counted and the median taken by the database (window functions, in both), so that only a
    // row per group travels: the median is the mean of the one or two middle rows of each group.
    QStringList columns, names;
    for (const QString& k : keys) {
        names << "k_" + k;
        columns << (k == "day"       ? "substr(started, 1, 10)"
                    : k == "station" ? "station"
                                     : "script") +
                       (" AS k_" + k);
    }
    const QString group = names.join(", ");
    QVariantList values;
    const QString sql = "SELECT " + group + ", n, passed, avg(seconds) FROM (SELECT " + group +
                        ", seconds, row_number() OVER (PARTITION BY " + group +
                        " ORDER BY seconds) AS r, count(*) OVER (PARTITION BY " + group +
                        ") AS n, sum(CASE WHEN outcome = 'completed' THEN 1 ELSE 0 END) OVER (PARTITION BY " +
                        group + ") AS passed FROM (SELECT " + columns.join(", ") +
                        ", seconds, outcome FROM runs" + whereOf(filter, values) +
                        ") t) u WHERE r IN ((n + 1) / 2, (n + 2) / 2) GROUP BY " + group +
                        ", n, passed ORDER BY " + group;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    QJsonArray result;
    if (!execute(q, sql, values, error_)) {
        fail("cannot read", error_);
        return result;
    }
    while (q.next()) {
        QJsonObject row;
        int i = 0;
        for (const QString& k : keys)
            row[k] = q.value(i++).toString();
        const qint64 runs = q.value(i).toLongLong(), passed = q.value(i + 1).toLongLong();
        row["runs"] = runs;
        row["passed"] = passed;
        row["failed"] = runs - passed;
        row["yield"] = static_cast<double>(passed) / static_cast<double>(runs);
        row["median_seconds"] = q.value(i + 2).toDouble();
        result.append(row);
    }
    return result;
}

QList<QJsonObject> RecordStore::queuedRuns(int limit) {
    QList<QJsonObject> objects;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    // In id order: two programs sending the same backlog take their rows in the same order.
    if (!q.exec(
            QStringLiteral("SELECT r.%1 FROM runs r JOIN outbox o ON o.run_id = r.id ORDER BY r.id LIMIT %2")
                .arg(columnList(kRunColumns).replace(", ", ", r."))
                .arg(limit))) {
        fail("cannot read the send queue of", q.lastError().text());
        return objects;
    }
    while (q.next())
        objects << objectOf(q, kRunColumns, 0);
    QJsonArray ignored;
    attachDetails(ignored, objects);
    return objects;
}

bool RecordStore::dequeue(const QStringList& ids) {
    if (ids.isEmpty()) return true;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    return execute(q, "DELETE FROM outbox WHERE run_id IN (" + QString("?, ").repeated(ids.size() - 1) + "?)",
                   QVariantList(ids.begin(), ids.end()), error_) ||
           fail("cannot update the send queue of", error_);
}

int RecordStore::queuedCount() {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    return q.exec("SELECT count(*) FROM outbox") && q.next() ? q.value(0).toInt() : -1;
}

bool RecordStore::writeHeartbeat(const QString& station, int passed, int failed) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    return execute(q,
                   "INSERT INTO stations (station, heartbeat, passed, failed) VALUES (?, ?, ?, ?) ON "
                   "CONFLICT (station)"
                   " DO UPDATE SET heartbeat = excluded.heartbeat, passed = excluded.passed, failed = "
                   "excluded.failed",
                   {station, storeTime(), passed, failed}, error_) ||
           fail("cannot write the heartbeat to", error_);
}

bool RecordStore::writePortState(const PortState& s) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    return execute(q,
                   "INSERT INTO station_ports (station, port, state, percent, detail, updated) VALUES (?, ?, "
                   "?, ?, ?, ?)"
                   " ON CONFLICT (station, port) DO UPDATE SET state = excluded.state, percent = "
                   "excluded.percent,"
                   " detail = excluded.detail, updated = excluded.updated",
                   {s.station, s.port, s.state, s.percent, s.detail, storeTime()}, error_) ||
           fail("cannot write the port state to", error_);
}

QJsonArray RecordStore::stations() {
    error_.clear();
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    std::map<QString, QJsonObject> byName;
    QSqlQuery q(db);
    if (!q.exec("SELECT station, heartbeat, passed, failed FROM stations")) {
        fail("cannot read", q.lastError().text());
        return {};
    }
    while (q.next())
        byName[q.value(0).toString()] = QJsonObject{{"station", q.value(0).toString()},
                                                    {"heartbeat", q.value(1).toString()},
                                                    {"passed", q.value(2).toInt()},
                                                    {"failed", q.value(3).toInt()}};
    std::map<QString, QJsonArray> ports;
    if (!q.exec("SELECT station, port, state, percent, detail, last_outcome, last_run_id, last_ended, updated"
                " FROM station_ports ORDER BY station, port")) {
        fail("cannot read", q.lastError().text());
        return {};
    }
    while (q.next()) {
        ports[q.value(0).toString()].append(QJsonObject{{"port", q.value(1).toString()},
                                                        {"state", q.value(2).toString()},
                                                        {"percent", q.value(3).toInt()},
                                                        {"detail", q.value(4).toString()},
                                                        {"last_outcome", q.value(5).toString()},
                                                        {"last_run_id", q.value(6).toString()},
                                                        {"last_ended", q.value(7).toString()},
                                                        {"updated", q.value(8).toString()}});
        byName.try_emplace(q.value(0).toString(), QJsonObject{{"station", q.value(0).toString()}});
    }
    QJsonArray result;
    for (auto& [name, station] : byName) {
        station["ports"] = ports[name];
        result.append(station);
    }
    return result;
}

} // namespace brimwell::records
