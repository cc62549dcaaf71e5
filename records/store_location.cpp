// Names of record stores.
#include "records/store_location.h"

#include <QDir>
#include <QSysInfo>
#include <QUrlQuery>

namespace brimwell::records {

std::optional<StoreLocation> parseStoreLocation(const QString& url, QString& error) {
    StoreLocation where;
    where.url = url;
    if (url.startsWith("sqlite:")) {
        where.path = url.mid(7);
        if (where.path.startsWith("//")) where.path = where.path.mid(2); // sqlite:///abs/path
        if (where.path.isEmpty()) {
            error = "sqlite: needs the database file's path (sqlite:/var/lib/brimwell/records.sqlite)";
            return std::nullopt;
        }
        where.path = QDir::cleanPath(QDir::current().absoluteFilePath(where.path));
        return where;
    }
    if (!url.startsWith("postgresql://") && !url.startsWith("postgres://")) {
        error = url + ": a record store is named sqlite:PATH or postgresql://USER@HOST/DATABASE";
        return std::nullopt;
    }
    where.kind = StoreLocation::Kind::Postgres;
    QString rest = url.mid(url.indexOf("://") + 3);
    const qsizetype query = rest.indexOf('?');
    const QUrlQuery options(query >= 0 ? rest.mid(query + 1) : QString());
    if (query >= 0) rest.truncate(query);
    const qsizetype slash = rest.indexOf('/');
    where.database = slash >= 0 ? QUrl::fromPercentEncoding(rest.mid(slash + 1).toUtf8()) : QString();
    QString authority = slash >= 0 ? rest.left(slash) : rest;
    if (const qsizetype at = authority.lastIndexOf('@'); at >= 0) {
        where.user = QUrl::fromPercentEncoding(authority.left(at).toUtf8());
        authority = authority.mid(at + 1);
    }
    if (where.user.contains(':')) {
        error = "the record store's name carries a password; leave it out and put it into ~/.pgpass "
                "(or the file PGPASSFILE names)";
        return std::nullopt;
    }
    if (const qsizetype colon = authority.lastIndexOf(':'); colon >= 0) {
        bool ok = false;
        where.port = authority.mid(colon + 1).toInt(&ok);
        if (!ok || where.port <= 0 || where.port > 65535) {
            error = url + ": the port must be a number from 1 to 65535";
            return std::nullopt;
        }
        authority.truncate(colon);
    }
    where.host = authority;
    if (options.hasQueryItem("host")) where.host = options.queryItemValue("host", QUrl::FullyDecoded);
    if (options.hasQueryItem("port")) where.port = options.queryItemValue("port").toInt();
    if (options.hasQueryItem("password")) {
        error = "the record store's name carries a password; put it into ~/.pgpass (or PGPASSFILE) instead";
        return std::nullopt;
    }
    if (where.database.isEmpty()) {
        error = url + ": name the database (postgresql://USER@HOST/DATABASE)";
        return std::nullopt;
    }
    return where;
}

QString defaultStorePath() {
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (data.isEmpty()) data = QDir::homePath() + "/.local/share";
    return data + "/brimwell/records.sqlite";
}

QString requestedStoreUrl(const QString& option) {
    return option.isEmpty() ? qEnvironmentVariable("BRIMWELL_RECORDS") : option;
}

QString stationName() {
    const QString named = qEnvironmentVariable("BRIMWELL_STATION");
    return named.isEmpty() ? QSysInfo::machineHostName() : named;
}

} // namespace brimwell::records
