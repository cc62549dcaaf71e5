// The journal and the fallback files of run records.
#include "records/run_journal.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

namespace brimwell::records {
namespace {

constexpr int kSendBatch = 200; // runs per transaction of the shared store
constexpr const char* kFallbackPrefix = "brimwell-run-";

// Beside the store if that directory takes it, else the current directory, else the temporary one.
QString writeFallback(const QJsonObject& run, const QString& storePath) {
    const QByteArray doc = QJsonDocument(run).toJson(QJsonDocument::Indented);
    for (const QString& dir : {QFileInfo(storePath).absolutePath(), QDir::currentPath(), QDir::tempPath()}) {
        QSaveFile file(dir + "/" + kFallbackPrefix + run["id"].toString() + ".json");
        if (file.open(QIODevice::WriteOnly) && file.write(doc) == doc.size() && file.commit())
            return file.fileName();
    }
    return {};
}

} // namespace

StoreLocation journalLocation() {
    StoreLocation journal;
    journal.path = defaultStorePath();
    journal.url = "sqlite:" + journal.path;
    return journal;
}

RecordResult recordRun(const QJsonObject& run, const StoreLocation& where) {
    RecordResult r;
    const StoreLocation local = where.shared() ? journalLocation() : where;
    RecordStore store;
    if (!store.open(local) || store.insertRuns({run}, where.shared()) < 0) {
        // Without its journal a run can still reach the shared store directly.
        RecordStore shared;
        if (where.shared() && shared.open(where) && shared.insertRuns({run}) >= 0) {
            r.stored = true;
            r.note =
                "the journal cannot take the run (" + store.error() + "); it went straight to " + where.url;
            return r;
        }
        r.problem = store.error();
        r.fallbackFile = writeFallback(run, local.path);
        return r;
    }
    r.stored = true;
    if (!where.shared()) return r;
    RecordStore shared;
    QString error;
    const QString waits = "the run is kept in " + local.url + " and waits there for the shared store: ";
    if (!shared.open(where)) {
        r.note = waits + shared.error();
        return r;
    }
    r.sent = sendBacklog(store, shared, error);
    if (r.sent < 0) r.note = waits + error, r.sent = 0;
    return r;
}

int sendBacklog(RecordStore& journal, RecordStore& shared, QString& error) {
    int sent = 0;
    for (;;) {
        const QList<QJsonObject> batch = journal.queuedRuns(kSendBatch);
        if (batch.isEmpty()) break;
        const int took = shared.insertRuns(batch);
        QStringList ids;
        for (const QJsonObject& run : batch)
            ids << run["id"].toString();
        // Committed there before it leaves the queue: a stop in between sends it once more, and
        // the shared store keeps the copy it has.
        if (took < 0 || !journal.dequeue(ids)) {
            error = took < 0 ? shared.error() : journal.error();
            return -1;
        }
        sent += took;
        if (batch.size() < kSendBatch) break;
    }
    return sent;
}

int takeInFallbacks(RecordStore& store, bool queue, QString& error) {
    const QDir dir = QFileInfo(store.location().path).absoluteDir();
    int taken = 0;
    for (const QFileInfo& f : dir.entryInfoList({QString(kFallbackPrefix) + "*.json"}, QDir::Files)) {
        QFile file(f.filePath());
        if (!file.open(QIODevice::ReadOnly)) continue;
        const QJsonObject run = QJsonDocument::fromJson(file.readAll()).object();
        if (run["id"].toString().isEmpty()) continue;
        if (store.insertRuns({run}, queue) < 0) {
            error = store.error();
            return -1;
        }
        QFile::remove(f.filePath());
        ++taken;
    }
    return taken;
}

bool syncRecords(const StoreLocation& where, QString& said) {
    const StoreLocation local = where.shared() ? journalLocation() : where;
    RecordStore store;
    if (!store.open(local)) {
        said = store.error();
        return false;
    }
    QString error;
    const int taken = takeInFallbacks(store, where.shared(), error);
    if (taken < 0) {
        said = error;
        return false;
    }
    said = QStringLiteral("%1 run records taken in from files beside %2").arg(taken).arg(local.url);
    if (!where.shared()) return true;
    RecordStore shared;
    if (!shared.open(where)) {
        said +=
            QStringLiteral("; %1 runs wait in the journal: %2").arg(store.queuedCount()).arg(shared.error());
        return false;
    }
    const int sent = sendBacklog(store, shared, error);
    if (sent < 0) {
        said += "; " + error;
        return false;
    }
    said += QStringLiteral("; %1 runs sent to %2; %3 wait").arg(sent).arg(where.url).arg(store.queuedCount());
    return true;
}

} // namespace brimwell::records
