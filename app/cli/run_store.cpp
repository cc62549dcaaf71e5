// Storing the record of a command-line run.
#include "app/cli/run_store.h"

#include "records/run_journal.h"

#include <QCoreApplication>

#include <cstdio>
#include <memory>

namespace brimwell::cli {

bool requestedStore(const RunOptions& options, std::optional<records::StoreLocation>& store,
                    std::string& error) {
    const QString url = records::requestedStoreUrl(QString::fromStdString(options.records));
    if (url.isEmpty()) return true;
    QString why;
    store = records::parseStoreLocation(url, why);
    if (!store) error = (options.records.empty() ? "BRIMWELL_RECORDS: " : "--records: ") + why.toStdString();
    return store.has_value();
}

std::string storeRun(QJsonObject& record, const records::StoreLocation& store) {
    // Qt SQL finds its drivers through the application object; a run's own is gone by now.
    std::unique_ptr<QCoreApplication> app;
    static int argc = 1;
    static char name[] = "brimwell";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) app = std::make_unique<QCoreApplication>(argc, argv);

    const records::RecordResult r = records::recordRun(record, store);
    if (!r.note.isEmpty()) std::fprintf(stderr, "brimwell run: %s\n", qPrintable(r.note));
    if (r.stored) return {};
    std::string lost = r.problem.toStdString();
    lost += r.fallbackFile.isEmpty() ? "; no file could take the record either"
                                     : "; the record is in " + r.fallbackFile.toStdString() +
                                           " (brimwell records --sync takes it in)";
    record["record_lost"] = QString::fromStdString(lost);
    return lost;
}

int exitWithRecord(int code, const std::string& lostRecord, const char* command) {
    if (lostRecord.empty()) return code;
    if (code == kExitCompleted) {
        std::fprintf(stderr, "%s: the unit passed; its record is incomplete: %s\n", command,
                     lostRecord.c_str());
        return kExitRecordIncomplete;
    }
    std::fprintf(stderr, "%s: the run's record is incomplete: %s\n", command, lostRecord.c_str());
    return code;
}

} // namespace brimwell::cli
