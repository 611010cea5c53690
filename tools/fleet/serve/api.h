// The lab's HTTP API without sockets: a request in, a response out. The HTTP layer
// hands every request here, so tests and the fuzzer call exactly what clients reach.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "backend.h"

namespace lcserve {

constexpr size_t kMaxBody = 64 * 1024;

struct Request {
    std::string method;
    std::string path;                           // without the query
    std::map<std::string, std::string> query;   // the first value of each name
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    bool bodyTooLarge = false;  // more than kMaxBody arrived (body holds none of it)

    const std::string* header(const std::string& lowerName) const;
};

struct Response {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;

    // GET /api/v1/events: the HTTP layer opens a stream with these.
    bool stream = false;
    std::optional<uint64_t> instanceFilter;
    std::string lastEventId;
};

// Who may ask what: the Host values accepted (lower case, with the port), the
// origins that may change the lab, and the token changes need.
struct AccessPolicy {
    std::set<std::string> hosts;
    std::set<std::string> origins;
    std::string token;
};

// The one error shape: {"error": text, "status": N}.
Response errorResponse(int status, const std::string& text);

// True for the methods that change the lab (they may wait on devices).
bool isChange(const std::string& method);

class Api {
public:
    Api(Backend& backend, AccessPolicy policy, std::string dashboardDir);
    Response handle(const Request& request);

private:
    std::optional<Response> refuseAccess(const Request& r) const;
    std::optional<Response> refuseChange(const Request& r) const;
    Response health();
    Response devices();
    Response device(uint64_t n);
    Response putFault(uint64_t n, const std::string& kind, const Request& r);
    Response deleteFault(uint64_t n, const std::string& kind);
    Response deleteFaults(uint64_t n);
    Response restart(uint64_t n);
    Response events(const Request& r);
    Response staticFile(const std::string& path) const;
    Response afterChange(uint64_t n, const Outcome& o);

    Backend& backend_;
    AccessPolicy policy_;
    std::string dashboardDir_;
};

// Helpers the server and its tests share.
// "a.b.c.d:port" or "localhost:port" for a listen address; false with error.
bool parseListen(const std::string& text, std::string& address, uint16_t& port, std::string& error);
// The Host values and origins of a server reached at these addresses (dotted) and port;
// localhost and 127.0.0.1 are always among them.
AccessPolicy policyFor(const std::vector<std::string>& addresses, uint16_t port, const std::string& token);
// Compares without stopping at the first difference.
bool sameSecret(const std::string& a, const std::string& b);

}  // namespace lcserve
