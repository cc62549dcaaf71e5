// Where a finished run's record goes, and what happens when a store cannot take it. A run recorded
// into SQLite is stored there. A run recorded into a shared PostgreSQL store is committed first to
// this machine's own SQLite store (the journal) and queued there, then sent on with whatever else
// is queued; while the shared store is down the runs wait in the journal and go when it is back,
// each once (a run's id is its key). A store that cannot be written at all gets the record as a
// JSON file beside it, which the next sync takes in: nothing is lost, and the unit's verdict is
// never changed by where its record went.
#pragma once

#include "records/record_store.h"

namespace brimwell::records {

struct RecordResult {
    bool stored = false;  // in the store named, or in the journal
    QString problem;      // why it is not (empty when stored)
    QString fallbackFile; // the JSON file written instead ("" when that failed too)
    QString note;         // for the operator: the run waits in the journal, or went around it
    int sent = 0;         // runs the shared store took now, this one and the backlog
};

// The journal's location: $XDG_DATA_HOME/brimwell/records.sqlite.
StoreLocation journalLocation();

RecordResult recordRun(const QJsonObject& run, const StoreLocation& where);

// Sends the journal's queue to `shared` in batches; the runs the shared store newly took, or -1
// with `error`. Runs it held already leave the queue without counting.
int sendBacklog(RecordStore& journal, RecordStore& shared, QString& error);

// Takes the JSON files of runs that could not be stored (written beside `store`) into it and
// removes them; the number taken. Files that do not read as a run are left where they are.
int takeInFallbacks(RecordStore& store, bool queue, QString& error);

// "brimwell records --sync": fallback files into the store (or the journal), then the backlog to
// the shared store. Text for the operator in `said`; false when something could not be done.
bool syncRecords(const StoreLocation& where, QString& said);

} // namespace brimwell::records
