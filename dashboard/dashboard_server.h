// The dashboard's HTTP side: the page, its files, and the JSON API over one record store
// (/api/stations, /api/runs, /api/summary). Read-only: nothing it serves writes to the store.
// A token, when there is one, must come with every request as "Authorization: Bearer TOKEN" or
// as the cookie the login form sets; it is never taken from a URL.
#pragma once

#include "records/record_store.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QUrlQuery>

#include <memory>

class QHttpServer;

namespace brimwell::dashboard {

// One answer of the server, before it goes on the wire.
struct Reply {
    int status = 200;
    QByteArray type = "application/json";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
};

// What a request brings that the answer depends on.
struct Request {
    QByteArray method; // "GET", "POST", ...
    QString path;
    QUrlQuery query;
    QByteArray authorization, cookie, body;
};

class DashboardServer {
  public:
    // `token` empty: no token asked for (the server listens on loopback only).
    DashboardServer(records::StoreLocation store, QByteArray token);
    ~DashboardServer();

    // Listens on `address` and `port` (0: any free port); the port, or 0 with `error`.
    quint16 listen(const QString& address, quint16 port, QString& error);

    // Answers one request (the HTTP server calls it; tests and benchmarks may too).
    Reply answer(const Request& request);

  private:
    bool authorized(const Request& request) const;
    bool storeReady(Reply& failure);
    Reply stations(const QUrlQuery& query);
    Reply runs(const QUrlQuery& query);
    Reply summary(const QUrlQuery& query);
    Reply login(const Request& request);

    records::StoreLocation where_;
    QByteArray token_;
    std::unique_ptr<records::RecordStore> store_;
    std::unique_ptr<QHttpServer> http_;
};

} // namespace brimwell::dashboard
