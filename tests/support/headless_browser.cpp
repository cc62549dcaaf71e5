// Headless Chromium over --remote-debugging-pipe: commands go to its fd 3, answers come from its
// fd 4, each message a JSON text ending in a NUL byte.
#include "support/headless_browser.h"

#include <QJsonDocument>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace brimwell::testing {
namespace {

constexpr auto kCallLimit = std::chrono::seconds(30);

} // namespace

HeadlessBrowser::~HeadlessBrowser() {
    if (to_ >= 0) ::close(to_);
    if (from_ >= 0) ::close(from_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool HeadlessBrowser::open(const std::string& url) {
    int commands[2], answers[2];
    if (::pipe2(commands, O_CLOEXEC) != 0 || ::pipe2(answers, O_CLOEXEC) != 0) return false;
    std::vector<std::string> args{"/usr/bin/chromium", "--user-data-dir=" + profile_.path()};
    for (const char* flag :
         {"--headless", "--disable-gpu", "--disable-quic", "--no-first-run",
          "--disable-background-networking", "--disable-component-update", "--disable-sync",
          "--disable-dev-shm-usage", "--window-size=1200,760", "--remote-debugging-pipe", "about:blank"})
        args.push_back(flag);
    if (::geteuid() == 0) args.insert(args.begin() + 1, "--no-sandbox"); // its sandbox refuses root
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(commands[0], 3);
        ::dup2(answers[1], 4);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(commands[0]);
    ::close(answers[1]);
    to_ = commands[1];
    from_ = answers[0];
    if (pid_ < 0) return false;
    const QJsonObject target = call("Target.createTarget", {{"url", QString::fromStdString(url)}}, false);
    const QJsonObject attached =
        call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}}, false);
    session_ = attached["sessionId"].toString().toStdString();
    if (session_.empty() && error_.empty()) error_ = "the browser gave no page session";
    return !session_.empty();
}

QJsonObject HeadlessBrowser::call(const char* method, const QJsonObject& params, bool inPage) {
    const int id = ++nextId_;
    QJsonObject message{{"id", id}, {"method", method}, {"params", params}};
    if (inPage) message["sessionId"] = QString::fromStdString(session_);
    const QByteArray out = QJsonDocument(message).toJson(QJsonDocument::Compact) + '\0';
    if (::write(to_, out.data(), static_cast<size_t>(out.size())) != out.size()) {
        error_ = "the browser does not take commands";
        return {};
    }
    const auto deadline = std::chrono::steady_clock::now() + kCallLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        for (size_t nul; (nul = pending_.find('\0')) != std::string::npos;) {
            const QJsonObject answer =
                QJsonDocument::fromJson(QByteArray::fromStdString(pending_.substr(0, nul))).object();
            pending_.erase(0, nul + 1);
            if (answer["id"].toInt() != id) continue; // an event, or an answer nobody waits for
            if (answer.contains("error"))
                error_ = QJsonDocument(answer["error"].toObject()).toJson().toStdString();
            return answer["result"].toObject();
        }
        pollfd p{from_, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        char buf[65536];
        const ssize_t n = ::read(from_, buf, sizeof buf);
        if (n <= 0) break;
        pending_.append(buf, static_cast<size_t>(n));
    }
    error_ = std::string("the browser did not answer ") + method;
    return {};
}

std::string HeadlessBrowser::evaluate(const std::string& expression) {
    const QJsonObject r = call("Runtime.evaluate",
                               {{"expression", QString::fromStdString(expression)}, {"returnByValue", true}});
    const QJsonValue value = r["result"].toObject()["value"];
    return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).mid(1).chopped(1).toStdString();
}

bool HeadlessBrowser::waitFor(const std::string& expression, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        if (evaluate("Boolean(" + expression + ")") == "true") return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

bool HeadlessBrowser::screenshot(const std::string& path) {
    const QByteArray png = QByteArray::fromBase64(
        call("Page.captureScreenshot", {{"format", "png"}})["data"].toString().toLatin1());
    std::ofstream(path, std::ios::binary).write(png.data(), png.size());
    return png.startsWith("\x89PNG");
}

} // namespace brimwell::testing
