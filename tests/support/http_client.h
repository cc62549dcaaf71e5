// One HTTP/1.1 request to a server on this machine and its whole answer, for the dashboard's
// tests and benchmark.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace brimwell::testing {

struct HttpAnswer {
    int status = 0;                             // 0: no answer
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
};

HttpAnswer httpRequest(int port, const std::string& method, const std::string& path,
                       const std::vector<std::string>& headers = {}, const std::string& body = {});

} // namespace brimwell::testing
