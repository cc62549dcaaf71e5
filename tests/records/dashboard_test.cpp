// "brimwell dashboard" as a browser and a client meet it: the API's answers to bad parameters and
// tokens, and the page in a real headless Chromium showing the stations and updating itself when
// a run ends.
#include "records/record_store.h"
#include "support/headless_browser.h"
#include "support/http_client.h"
#include "support/recorded_runs.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

#include <cstdlib>

using namespace brimwell;
using namespace brimwell::testing;

namespace {

// A store holding one station with a passed and a failed port and a unit being flashed.
std::string seededStore(const TempDir& dir) {
    const std::string url = "sqlite:" + dir.file("line.sqlite");
    QString error;
    records::RecordStore store;
    EXPECT_TRUE(store.open(*records::parseStoreLocation(QString::fromStdString(url), error)));
    const QString now = records::storeTime();
    auto run = [&](const char* id, const char* port, const char* outcome, const char* failure) {
        return QJsonObject{
            {"id", id},     {"station", "line-1"}, {"port", port},       {"started", now},
            {"ended", now}, {"outcome", outcome},  {"failure", failure}, {"script", "/srv/line/board-a.sld"}};
    };
    EXPECT_EQ(
        store.insertRuns(
            {run("r1", "/dev/ttyUSB0", "completed", ""),
             run("r2", "/dev/ttyUSB1", "failed",
                 "Error! Unable to receive prompt after upload. Upload unsuccessful. Exiting script.")}),
        2);
    EXPECT_TRUE(store.writeHeartbeat("line-1", 1, 1));
    EXPECT_TRUE(store.writePortState({"line-1", "/dev/ttyUSB2", "flashing", 40, "firmware.bin"}));
    return url;
}

struct Dashboard {
    ChildProcess process;
    int port = 0;
    bool start(const std::string& url, const std::vector<std::string>& env = {}) {
        if (!process.start(binDir() + "/brimwell", {"dashboard", "--records", url, "--listen", "127.0.0.1:0"},
                           env))
            return false;
        const auto line = process.waitForLine("brimwell dashboard: ");
        if (!line) return false;
        port = std::atoi(line->substr(line->rfind(':') + 1).c_str());
        return port > 0;
    }
};

} // namespace

TEST(Dashboard, BadParametersAndTokensAreRefusedWithAReason) {
    TempDir dir;
    Dashboard d;
    ASSERT_TRUE(d.start(seededStore(dir), {"BRIMWELL_DASHBOARD_TOKEN=open sesame"}))
        << d.process.stderrText();
    const std::string bearer = "Authorization: Bearer open sesame";
    struct Case {
        const char* method;
        const char* path;
        std::string header;
        int status;
        const char* says;
    };
    const std::vector<Case> cases{
        {"GET", "/api/runs?since=2026-13-40", bearer, 400, "since: not a time: 2026-13-40"},
        {"GET", "/api/runs?until=soon", bearer, 400, "until: not a time"},
        {"GET", "/api/runs?limit=abc", bearer, 400, "limit: a number from 1 to 1000"},
        {"GET", "/api/runs?limit=100000", bearer, 400, "limit: a number from 1 to 1000"},
        {"GET", "/api/runs?outcome=maybe", bearer, 400, "outcome: passed or failed"},
        {"GET", "/api/runs?station=ghost", bearer, 400, "no station named ghost"},
        {"GET", "/api/stations?station=ghost", bearer, 400, "no station named ghost"},
        {"GET", "/api/summary?day=2026-02-30", bearer, 400, "day: a date"},
        {"GET", "/api/runs?colour=red", bearer, 400, "unknown parameter colour"},
        {"GET", "/api/nothing", bearer, 404, "no such API"},
        {"POST", "/api/runs", bearer, 405, "only reads"},
        {"GET", "/api/runs", "Authorization: Bearer open sesamE", 401, "wrong token"},
        {"GET", "/api/runs", "Cookie: brimwell_dashboard=guess", 401, "wrong token"},
        {"GET", "/api/runs", "", 401, "a token is needed"},
        {"GET", "/", "", 303, "log in first"},
        {"GET", "/api/runs?station=line-1&outcome=failed&since=24h", bearer, 200, "Unable to receive prompt"},
        {"GET", "/api/stations", "Cookie: other=1; brimwell_dashboard=open sesame", 200, "/dev/ttyUSB2"},
    };
    for (const Case& c : cases) {
        const HttpAnswer a =
            httpRequest(d.port, c.method, c.path,
                        c.header.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.header});
        EXPECT_EQ(a.status, c.status) << c.path << " " << c.header << ": " << a.body;
        EXPECT_NE(a.body.find(c.says), std::string::npos) << c.path << ": " << a.body;
    }
    // The login form sets the cookie once; a wrong token gets the form again.
    EXPECT_EQ(httpRequest(d.port, "POST", "/login", {}, "token=open+sesamE").status, 401);
    HttpAnswer in = httpRequest(d.port, "POST", "/login", {}, "token=open+sesame");
    EXPECT_EQ(in.status, 303);
    EXPECT_EQ(in.headers["set-cookie"], "brimwell_dashboard=open sesame; HttpOnly; SameSite=Strict; Path=/");
    // Beyond loopback a token is a must; the refusal comes before anything listens.
    const CommandResult open =
        RecordedUnits::brimwell({"dashboard", "--listen", "0.0.0.0:0"}, {"BRIMWELL_DASHBOARD_TOKEN"});
    EXPECT_EQ(open.exitCode, 2);
    EXPECT_NE(open.err.find("give a token with --token-file FILE"), std::string::npos) << open.err;
}

TEST(Dashboard, PageShowsTheStationsAndUpdatesWhenARunEnds) {
    TempDir dir;
    const std::string url = seededStore(dir);
    Dashboard d;
    ASSERT_TRUE(d.start(url)) << d.process.stderrText();
    HeadlessBrowser browser;
    ASSERT_TRUE(browser.open("http://127.0.0.1:" + std::to_string(d.port) + "/")) << browser.error();
    const std::string text = "document.body.innerText";
    ASSERT_TRUE(browser.waitFor(text + ".includes('/dev/ttyUSB1') && " + text +
                                ".includes('Unable to receive prompt')"))
        << browser.evaluate(text);
    EXPECT_EQ(browser.evaluate("document.querySelector('[data-port=\"/dev/ttyUSB2\"] progress').value"),
              "40");
    EXPECT_EQ(browser.evaluate("document.querySelector('[data-port=\"/dev/ttyUSB1\"]').className"),
              "\"tile idle last-failed\"");
    browser.evaluate("window.sameDocument = 'yes'");

    // A unit of another station is flashed and recorded: its tile appears without a reload.
    RecordedUnits f(1);
    ASSERT_EQ(f.run({"--records", url}, {"BRIMWELL_STATION=line-2"}).exitCode, 0);
    EXPECT_TRUE(browser.waitFor("document.querySelector('[data-station=\"line-2\"] .last-completed')"))
        << browser.evaluate(text);
    EXPECT_EQ(browser.evaluate("window.sameDocument"), "\"yes\"");
    const char* picture = std::getenv("BRIMWELL_DASHBOARD_PICTURE"); // docs/dashboard.png is made so
    EXPECT_TRUE(browser.screenshot(picture ? picture : dir.file("dashboard.png")));
}
