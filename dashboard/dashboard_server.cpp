// The dashboard's requests and answers.
#include "dashboard/dashboard_server.h"

#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>

#include <algorithm>

namespace brimwell::dashboard {
namespace {

constexpr int kDefaultRunLimit = 100;
constexpr int kMaxRunLimit = 1000;
constexpr int kFailuresShown = 10;
constexpr const char* kCookie = "brimwell_dashboard";

Reply json(const QJsonObject& o, int status = 200) {
    return {status, "application/json", QJsonDocument(o).toJson(QJsonDocument::Compact), {}};
}

Reply problem(int status, const QString& text) {
    return json({{"error", text}}, status);
}

Reply file(const QString& name, const QByteArray& type) {
    QFile f(":/dashboard/" + name);
    if (!f.open(QIODevice::ReadOnly)) return problem(500, "the page's file " + name + " is missing");
    return {200, type, f.readAll(), {}};
}

// A comparison whose time does not tell how much of the token was right.
bool sameToken(const QByteArray& a, const QByteArray& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0 && !a.isEmpty();
}

// The parameters a request may carry; a 400 naming the first other one.
bool onlyKnown(const QUrlQuery& query, const QStringList& known, Reply& failure) {
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (known.contains(key)) continue;
        failure = problem(400, "unknown parameter " + key + " (this API takes " + known.join(", ") + ")");
        return false;
    }
    return true;
}

bool timeParameter(const QUrlQuery& query, const QString& key, QString& into, Reply& failure) {
    if (!query.hasQueryItem(key)) return true;
    const QString text = query.queryItemValue(key, QUrl::FullyDecoded);
    const std::optional<QString> t = records::parseRecordTime(text);
    if (!t)
        failure =
            problem(400, key + ": not a time: " + text + " (2026-12-08, 2026-12-08T14:30:00Z, 24h, 7d)");
    if (t) into = *t;
    return t.has_value();
}

double ageSeconds(const QString& stored, const QDateTime& now) {
    const QDateTime t = QDateTime::fromString(stored, Qt::ISODateWithMs);
    return t.isValid() ? std::max<qint64>(0, t.msecsTo(now)) / 1000.0 : -1;
}

} // namespace

DashboardServer::DashboardServer(records::StoreLocation store, QByteArray token)
    : where_(std::move(store)), token_(std::move(token)) {}

DashboardServer::~DashboardServer() = default;

quint16 DashboardServer::listen(const QString& address, quint16 port, QString& error) {
    http_ = std::make_unique<QHttpServer>();
    http_->setMissingHandler([this](const QHttpServerRequest& r, QHttpServerResponder&& responder) {
        Request request{r.method() == QHttpServerRequest::Method::Post  ? "POST"
                        : r.method() == QHttpServerRequest::Method::Get ? "GET"
                                                                        : "OTHER",
                        r.url().path(),
                        r.query(),
                        r.value("Authorization"),
                        r.value("Cookie"),
                        r.body()};
        const Reply reply = answer(request);
        responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(reply.status));
        responder.writeHeader("Content-Type", reply.type);
        responder.writeHeader("Content-Length", QByteArray::number(reply.body.size()));
        responder.writeHeader("Cache-Control", "no-store");
        responder.writeHeader("X-Content-Type-Options", "nosniff");
        responder.writeHeader("Content-Security-Policy", "default-src 'self'");
        for (const auto& [name, value] : reply.headers)
            responder.writeHeader(name, value);
        responder.writeBody(reply.body);
    });
    const quint16 bound = http_->listen(QHostAddress(address), port);
    if (bound == 0) error = "cannot listen on " + address + ":" + QString::number(port);
    return bound;
}

bool DashboardServer::authorized(const Request& request) const {
    if (token_.isEmpty()) return true;
    if (request.authorization.startsWith("Bearer ") &&
        sameToken(request.authorization.mid(7).trimmed(), token_))
        return true;
    for (const QByteArray& c : request.cookie.split(';')) {
        const QByteArray pair = c.trimmed();
        if (pair.startsWith(QByteArray(kCookie) + "=") && sameToken(pair.mid(qstrlen(kCookie) + 1), token_))
            return true;
    }
    return false;
}

bool DashboardServer::storeReady(Reply& failure) {
    if (store_) return true;
    store_ = std::make_unique<records::RecordStore>();
    if (store_->open(where_)) return true;
    failure = problem(503, "the record store cannot be read: " + store_->error());
    store_.reset();
    return false;
}

Reply DashboardServer::answer(const Request& request) {
    const QString& path = request.path;
    if (path == "/login") return login(request);
    if (request.method != "GET") return problem(405, "the dashboard only reads (GET)");
    if (path == "/dashboard.css") return file("dashboard.css", "text/css; charset=utf-8");
    if (path == "/dashboard.js") return file("dashboard.js", "text/javascript; charset=utf-8");
    if (!authorized(request)) {
        if (!path.startsWith("/api/")) return {303, "text/plain", "log in first\n", {{"Location", "/login"}}};
        return problem(401, request.authorization.isEmpty() && request.cookie.isEmpty()
                                ? "a token is needed: send Authorization: Bearer TOKEN, or log in at /login"
                                : "wrong token");
    }
    if (path == "/" || path == "/index.html") return file("index.html", "text/html; charset=utf-8");
    if (!path.startsWith("/api/")) return problem(404, "no such page: " + path);
    Reply failure;
    if (!storeReady(failure)) return failure;
    Reply reply =
        path == "/api/stations" ? stations(request.query)
        : path == "/api/runs"   ? runs(request.query)
        : path == "/api/summary"
            ? summary(request.query)
            : problem(404, "no such API: " + path + " (there are /api/stations, /api/runs, /api/summary)");
    if (!store_->error().isEmpty()) {
        // Read again from a fresh connection next time: a shared store may have been restarted.
        reply = problem(503, "the record store cannot be read: " + store_->error());
        store_.reset();
    }
    return reply;
}

Reply DashboardServer::login(const Request& request) {
    if (request.method == "GET") return file("login.html", "text/html; charset=utf-8");
    if (request.method != "POST") return problem(405, "the login form is sent with POST");
    // A form sends a space as '+', which QUrlQuery would keep.
    const QString form = QString::fromUtf8(QByteArray(request.body).replace('+', "%20"));
    const QByteArray given = QUrlQuery(form).queryItemValue("token", QUrl::FullyDecoded).toUtf8();
    if (token_.isEmpty() || !sameToken(given, token_)) {
        Reply r = file("login.html", "text/html; charset=utf-8");
        r.status = 401;
        r.body.replace("<!--message-->", "<p class=\"error\">Wrong token.</p>");
        return r;
    }
    return {303,
            "text/plain",
            "logged in\n",
            {{"Location", "/"},
             {"Set-Cookie", QByteArray(kCookie) + "=" + token_ + "; HttpOnly; SameSite=Strict; Path=/"}}};
}

Reply DashboardServer::stations(const QUrlQuery& query) {
    Reply failure;
    if (!onlyKnown(query, {"station"}, failure)) return failure;
    const QString wanted = query.queryItemValue("station", QUrl::FullyDecoded);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QJsonArray result;
    for (const QJsonValue& v : store_->stations()) {
        QJsonObject s = v.toObject();
        if (!wanted.isEmpty() && s["station"].toString() != wanted) continue;
        s["heartbeat_age_seconds"] = ageSeconds(s["heartbeat"].toString(), now);
        QJsonArray ports;
        for (const QJsonValue& p : s["ports"].toArray()) {
            QJsonObject port = p.toObject();
            port["age_seconds"] = ageSeconds(port["last_ended"].toString(), now);
            ports.append(port);
        }
        s["ports"] = ports;
        result.append(s);
    }
    if (!wanted.isEmpty() && result.isEmpty()) return problem(400, "no station named " + wanted);
    return json({{"now", now.toString(Qt::ISODateWithMs)}, {"stations", result}});
}

Reply DashboardServer::runs(const QUrlQuery& query) {
    Reply failure;
    records::RunFilter filter;
    if (!onlyKnown(query, {"since", "until", "station", "port", "outcome", "limit"}, failure) ||
        !timeParameter(query, "since", filter.since, failure) ||
        !timeParameter(query, "until", filter.until, failure))
        return failure;
    filter.limit = kDefaultRunLimit;
    if (query.hasQueryItem("limit")) {
        bool ok = false;
        filter.limit = query.queryItemValue("limit").toInt(&ok);
        if (!ok || filter.limit < 1 || filter.limit > kMaxRunLimit)
            return problem(400, QStringLiteral("limit: a number from 1 to %1").arg(kMaxRunLimit));
    }
    filter.outcome = query.queryItemValue("outcome", QUrl::FullyDecoded);
    if (!filter.outcome.isEmpty() && filter.outcome != "passed" && filter.outcome != "failed")
        return problem(400, "outcome: passed or failed");
    filter.port = query.queryItemValue("port", QUrl::FullyDecoded);
    filter.station = query.queryItemValue("station", QUrl::FullyDecoded);
    if (!filter.station.isEmpty()) {
        const QJsonArray known = store_->stations();
        if (std::none_of(known.begin(), known.end(),
                         [&](const QJsonValue& s) { return s["station"] == filter.station; }))
            return problem(400, "no station named " + filter.station);
    }
    return json({{"runs", store_->runs(filter)}});
}

Reply DashboardServer::summary(const QUrlQuery& query) {
    Reply failure;
    if (!onlyKnown(query, {"day"}, failure)) return failure;
    QDate day = QDateTime::currentDateTimeUtc().date();
    if (query.hasQueryItem("day")) {
        day = QDate::fromString(query.queryItemValue("day", QUrl::FullyDecoded), Qt::ISODate);
        if (!day.isValid()) return problem(400, "day: a date such as 2026-12-08");
    }
    records::RunFilter filter;
    filter.since = QDateTime(day, QTime(0, 0), Qt::UTC).toString(Qt::ISODateWithMs);
    filter.until = QDateTime(day.addDays(1), QTime(0, 0), Qt::UTC).toString(Qt::ISODateWithMs);
    const QJsonArray byStation = store_->summary(filter, {"station"});
    const QJsonArray byScript = store_->summary(filter, {"script"});
    filter.outcome = "failed";
    filter.limit = kFailuresShown;
    filter.details = false;
    QJsonArray failures;
    for (const QJsonValue& r : store_->runs(filter))
        failures.append(QJsonObject{{"id", r["id"]},
                                    {"station", r["station"]},
                                    {"port", r["port"]},
                                    {"ended", r["ended"]},
                                    {"outcome", r["outcome"]},
                                    {"failure", r["failure"]},
                                    {"script", r["script"]}});
    return json({{"day", day.toString(Qt::ISODate)},
                 {"stations", byStation},
                 {"scripts", byScript},
                 {"failures", failures}});
}

} // namespace brimwell::dashboard
