// Chromium without a display, driven through its DevTools protocol over a pair of pipes (no
// network port of its own): opens a page, runs JavaScript in it, takes its picture.
#pragma once

#include "support/temp_dir.h"

#include <QJsonArray>
#include <QJsonObject>

#include <chrono>
#include <string>

namespace brimwell::testing {

class HeadlessBrowser {
  public:
    HeadlessBrowser() = default;
    ~HeadlessBrowser();
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

    // Starts the browser on `url`; false with error().
    bool open(const std::string& url);
    // The value of a JavaScript expression in the page, as JSON text ("" when it failed).
    std::string evaluate(const std::string& expression);
    // Waits until the expression is true in the page.
    bool waitFor(const std::string& expression, std::chrono::milliseconds limit = std::chrono::seconds(20));
    // The page as a PNG file.
    bool screenshot(const std::string& path);
    const std::string& error() const { return error_; }

  private:
    QJsonObject call(const char* method, const QJsonObject& params, bool inPage = true);
    TempDir profile_;
    int pid_ = -1, to_ = -1, from_ = -1, nextId_ = 0;
    std::string session_, error_, pending_;
};

} // namespace brimwell::testing
