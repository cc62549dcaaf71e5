// The records command.
#include "app/cli/records_command.h"

#include "records/record_store.h"
#include "records/run_journal.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTimeZone>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace brimwell::cli {
namespace {

const char* usage() {
    return "usage: brimwell records [--records URL] [--since TIME] [--until TIME] [--port P] [--serial S]\n"
           "                        [--tag K=V]... [--outcome passed|failed] [--limit N] [--json|--csv]\n"
           "       brimwell records --summary [--records URL] [--since TIME] [--until TIME] [--json|--csv]\n"
           "       brimwell records --sync [--records URL]\n"
           "  --records URL    sqlite:PATH or postgresql://USER@HOST/DB; default $BRIMWELL_RECORDS, else\n"
           "                   this machine's store $XDG_DATA_HOME/brimwell/records.sqlite\n"
           "  --since, --until TIME   runs started from / before TIME: 2026-12-08, 2026-12-08T14:30,\n"
           "                   today, yesterday, or an age (90m, 24h, 7d); local time unless it ends in Z\n"
           "  --port P         runs on the port named P (as it was given to brimwell run)\n"
           "  --serial S       runs on the adapter with serial number S, or whose unit answered S to _QC\n"
           "  --tag K=V        runs tagged K=V (brimwell run --tag); several must all match\n"
           "  --outcome passed|failed   passed: completed; failed: anything else (failed, stopped, ...)\n"
           "  --limit N        the newest N runs (default 50 in a table, all otherwise)\n"
           "  --json, --csv    output format; default: a table on a terminal, JSON otherwise\n"
           "  --summary        runs, yield and median run time per day (UTC) and script\n"
           "  --sync           send the runs waiting in this machine's journal to the shared store (and\n"
           "                   take in records that were written as files beside the store)\n"
           "exit status: 0 done, 1 the store could not be read or reached, 2 usage error\n";
}

constexpr int kTableLimit = 50;

int usageError(const QString& text) {
    std::fprintf(stderr, "brimwell records: %s\n%s", qPrintable(text), usage());
    return 2;
}

QString csvField(const QString& v) {
    if (!v.contains(QRegularExpression("[\",\r\n]"))) return v;
    return '"' + QString(v).replace("\"", "\"\"") + '"';
}

QString localTime(const QString& stored) {
    return QDateTime::fromString(stored, Qt::ISODateWithMs).toLocalTime().toString("yyyy-MM-dd HH:mm:ss");
}

// Columns of the table and of CSV: a heading and how a run shows in it.
struct Field {
    const char* heading;
    std::function<QString(const QJsonObject&)> value;
};

QString joined(const QJsonArray& items, const char* key) {
    QStringList parts;
    for (const QJsonValue& v : items)
        parts << v[key].toString();
    return parts.join("; ");
}

QString tagText(const QJsonObject& tags) {
    QStringList parts;
    for (auto t = tags.begin(); t != tags.end(); ++t)
        parts << t.key() + "=" + t.value().toString();
    return parts.join(" ");
}

QString plain(const QJsonValue& v) {
    return v.isDouble() ? QString::number(v.toDouble(), 'f', v.toDouble() == qint64(v.toDouble()) ? 0 : 1)
                        : v.toString();
}

std::vector<Field> runFields(bool full) {
    auto key = [](const char* k) { return [k](const QJsonObject& r) { return plain(r[k]); }; };
    std::vector<Field> f{{"STARTED", [](const QJsonObject& r) { return localTime(r["started"].toString()); }},
                         {"STATION", key("station")},
                         {"PORT", key("port")},
                         {"OUTCOME", key("outcome")},
                         {"SECONDS", key("seconds")},
                         {"SERIAL", key("adapter_serial")},
                         {"TAGS", [](const QJsonObject& r) { return tagText(r["tags"].toObject()); }}};
    if (!full) {
        f.push_back({"RESULT", [](const QJsonObject& r) {
                         return r["outcome"] == "completed" ? joined(r["answers"].toArray(), "answer")
                                                            : r["failure"].toString();
                     }});
        return f;
    }
    f.front() = {"started", key("started")};
    for (const char* k :
         {"ended", "id", "host", "user", "device", "adapter_vendor", "adapter_product", "script",
          "script_sha256", "flash_seconds", "exit_status", "failure", "last_answer", "tool_version"})
        f.push_back({k, key(k)});
    f.push_back({"answers", [](const QJsonObject& r) { return joined(r["answers"].toArray(), "answer"); }});
    f.push_back({"files", [](const QJsonObject& r) { return joined(r["files"].toArray(), "name"); }});
    f.push_back({"file_sha256", [](const QJsonObject& r) { return joined(r["files"].toArray(), "sha256"); }});
    return f;
}

std::vector<Field> summaryFields() {
    auto key = [](const char* k) { return [k](const QJsonObject& r) { return plain(r[k]); }; };
    return {{"DAY", key("day")},
            {"SCRIPT", key("script")},
            {"RUNS", key("runs")},
            {"PASSED", key("passed")},
            {"FAILED", key("failed")},
            {"YIELD",
             [](const QJsonObject& r) { return QString::number(r["yield"].toDouble() * 100, 'f', 1) + "%"; }},
            {"MEDIAN", [](const QJsonObject& r) {
                 return QString::number(r["median_seconds"].toDouble(), 'f', 1) + "s";
             }}};
}

void printTable(const QJsonArray& rows, const std::vector<Field>& fields) {
    std::vector<QStringList> cells(1);
    for (const Field& f : fields)
        cells[0] << f.heading;
    for (const QJsonValue& row : rows) {
        cells.emplace_back();
        for (const Field& f : fields)
            cells.back() << f.value(row.toObject()).replace('\n', ' ').replace('\r', ' ');
    }
    std::vector<qsizetype> width(fields.size(), 0);
    for (const QStringList& line : cells)
        for (size_t i = 0; i < fields.size(); ++i)
            width[i] = std::max(width[i], line[i].size());
    for (const QStringList& line : cells) {
        QString out;
        for (size_t i = 0; i < fields.size(); ++i)
            out += i + 1 == fields.size() ? line[i] : line[i].leftJustified(width[i] + 2);
        std::printf("%s\n", qPrintable(out));
    }
}

void printCsv(const QJsonArray& rows, const std::vector<Field>& fields) {
    QStringList heading;
    for (const Field& f : fields)
        heading << QString(f.heading).toLower();
    std::printf("%s\r\n", qPrintable(heading.join(',')));
    for (const QJsonValue& row : rows) {
        QStringList line;
        for (const Field& f : fields)
            line << csvField(f.value(row.toObject()));
        std::printf("%s\r\n", line.join(',').toUtf8().constData());
    }
}

} // namespace

int recordsMain(int argc, char** argv) {
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QCoreApplication app(qtArgc, qtArgv);

    QString url;
    records::RunFilter filter;
    enum class Format { Auto, Json, Csv } format = Format::Auto;
    bool summary = false, sync = false, limited = false;
    for (int i = 2; i < argc; ++i) {
        QString arg = QString::fromLocal8Bit(argv[i]);
        std::optional<QString> inlineValue;
        if (const qsizetype eq = arg.indexOf('='); arg.startsWith("--") && eq > 0)
            inlineValue = arg.mid(eq + 1), arg.truncate(eq);
        QString v;
        auto value = [&] {
            if (inlineValue)
                v = *inlineValue;
            else if (i + 1 < argc)
                v = QString::fromLocal8Bit(argv[++i]);
            return !v.isEmpty();
        };
        auto time = [&](QString& into) {
            const std::optional<QString> t = value() ? records::parseRecordTime(v) : std::nullopt;
            if (t) into = *t;
            return t.has_value();
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage(), stdout);
            return 0;
        } else if (arg == "--json" || arg == "--csv") {
            format = arg == "--json" ? Format::Json : Format::Csv;
        } else if (arg == "--summary" || arg == "--sync") {
            (arg == "--summary" ? summary : sync) = true;
        } else if (arg == "--records" || arg == "--port" || arg == "--serial") {
            if (!value()) return usageError(arg + " needs a value");
            (arg == "--records" ? url : arg == "--port" ? filter.port : filter.serial) = v;
        } else if (arg == "--since" || arg == "--until") {
            if (!time(arg == "--since" ? filter.since : filter.until))
                return usageError(arg + ": not a time: " + v +
                                  " (2026-12-08, 2026-12-08T14:30, today, 24h, 7d)");
        } else if (arg == "--tag") {
            if (!value() || v.indexOf('=') <= 0) return usageError("--tag needs KEY=VALUE");
            filter.tags.append({v.left(v.indexOf('=')), v.mid(v.indexOf('=') + 1)});
        } else if (arg == "--outcome") {
            if (!value() || (v != "passed" && v != "failed"))
                return usageError("--outcome is passed or failed");
            filter.outcome = v;
        } else if (arg == "--limit") {
            bool ok = value();
            filter.limit = v.toInt(&ok);
            if (!ok || filter.limit <= 0) return usageError("--limit needs a positive number");
            limited = true;
        } else {
            return usageError("unknown option " + arg);
        }
    }
    url = records::requestedStoreUrl(url);
    if (url.isEmpty()) url = "sqlite:" + records::defaultStorePath();
    QString why;
    const std::optional<records::StoreLocation> where = records::parseStoreLocation(url, why);
    if (!where) return usageError(why);
    if (sync) {
        const bool ok = records::syncRecords(*where, why);
        std::fprintf(ok ? stdout : stderr, "brimwell records: %s\n", qPrintable(why));
        return ok ? 0 : 1;
    }
    records::RecordStore store;
    if (!store.open(*where)) {
        std::fprintf(stderr, "brimwell records: %s\n", qPrintable(store.error()));
        return 1;
    }
    const bool table = format == Format::Auto && ::isatty(STDOUT_FILENO) == 1;
    if (table && !limited && !summary) filter.limit = kTableLimit;
    const QJsonArray rows = summary ? store.summary(filter, {"day", "script"}) : store.runs(filter);
    if (!store.error().isEmpty()) {
        std::fprintf(stderr, "brimwell records: %s\n", qPrintable(store.error()));
        return 1;
    }
    if (table)
        printTable(rows, summary ? summaryFields() : runFields(false));
    else if (format == Format::Csv)
        printCsv(rows, summary ? summaryFields() : runFields(true));
    else
        std::fwrite(QJsonDocument(rows).toJson().constData(), 1, QJsonDocument(rows).toJson().size(), stdout);
    return 0;
}

} // namespace brimwell::cli
