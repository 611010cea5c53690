#include "api.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

namespace lcserve {

using json = nlohmann::ordered_json;

namespace {

constexpr uint64_t kMaxInstance = 100000000;
constexpr int kMaxDelayMs = 60000;

std::string lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

Response jsonResponse(int status, const json& j) {
    Response r;
    r.status = status;
    r.body = dump(j) + "\n";
    return r;
}

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 1;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

// A plain decimal instance number.
std::optional<uint64_t> parseInstance(const std::string& text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > kMaxInstance) return std::nullopt;
    return v;
}

// A whole number from min to max under key of an object; error names what is wrong.
bool takeInt(const json& body, const char* key, int min, int max, bool required, int& value, std::string& error) {
    auto it = body.find(key);
    if (it == body.end()) {
        if (required) error = std::string("\"") + key + "\" is missing: a whole number from " + std::to_string(min) +
                              " to " + std::to_string(max);
        return !required;
    }
    if (!it->is_number_integer() || *it < min || *it > max) {
        error = std::string("\"") + key + "\" must be a whole number from " + std::to_string(min) + " to " +
                std::to_string(max) + ", not " + dump(*it);
        return false;
    }
    value = it->get<int>();
    return true;
}

bool onlyKeys(const json& body, std::initializer_list<const char*> keys, std::string& error) {
    for (auto it = body.begin(); it != body.end(); ++it) {
        if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return it.key() == k; })) {
            error = "unknown key \"" + it.key() + "\"";
            return false;
        }
    }
    return true;
}

// Reads the values of a fault from the body of a PUT; error names what is wrong.
bool faultValues(FaultKind kind, const json& body, FaultValues& v, std::string& error) {
    switch (kind) {
    // Here a fault is ended by DELETE, not by a value of 0 as on the command line.
    case FaultKind::Loss:
        if (!onlyKeys(body, {"percent"}, error) || !takeInt(body, "percent", 1, 100, true, v.lossPercent, error)) {
            error += " (DELETE ends the loss)";
            return false;
        }
        return true;
    case FaultKind::Delay:
        if (!onlyKeys(body, {"ms", "jitter_ms"}, error) || !takeInt(body, "ms", 1, kMaxDelayMs, true, v.delayMs, error) ||
            !takeInt(body, "jitter_ms", 0, kMaxDelayMs, false, v.jitterMs, error)) {
            error += " (DELETE ends the delay)";
            return false;
        }
        return true;
    default:
        if (!body.empty()) {
            error = std::string(faultKindName(kind)) + " takes no values";
            return false;
        }
        return true;
    }
}

struct StaticFile {
    const char* path;
    const char* file;
    const char* type;
};
constexpr StaticFile kStaticFiles[] = {
    {"/", "index.html", "text/html; charset=utf-8"},
    {"/index.html", "index.html", "text/html; charset=utf-8"},
    {"/app.js", "app.js", "text/javascript; charset=utf-8"},
    {"/style.css", "style.css", "text/css; charset=utf-8"},
};

// A change that takes no values takes no body, or an empty object: anything else is
// a mistake of the client's, refused before anything changes.
std::optional<Response> noValues(const Request& r) {
    if (r.body.find_first_not_of(" \t\r\n") == std::string::npos) return std::nullopt;
    json body = json::parse(r.body, nullptr, false);
    if (body.is_discarded()) return errorResponse(400, "the body is not JSON");
    if (!body.is_object() || !body.empty())
        return errorResponse(400, r.method + " " + r.path + " takes no values: no body, or {}");
    return std::nullopt;
}

}  // namespace

const std::string* Request::header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? nullptr : &it->second;
}

Response errorResponse(int status, const std::string& text) {
    return jsonResponse(status, json{{"error", text}, {"status", status}});
}

bool isChange(const std::string& method) { return method == "PUT" || method == "DELETE" || method == "POST"; }

bool sameSecret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.size() ? b.size() : 1)]);
    return diff == 0 && !b.empty();
}

Api::Api(Backend& backend, AccessPolicy policy, std::string dashboardDir)
    : backend_(backend), policy_(std::move(policy)), dashboardDir_(std::move(dashboardDir)) {}

Response Api::handle(const Request& r) {
    const bool change = isChange(r.method);
    if (auto refused = refuseAccess(r)) return *refused;
    if (r.path.empty() || r.path[0] != '/') return errorResponse(404, "nothing at " + r.path);
    const std::vector<std::string> p = splitPath(r.path);
    auto allow = [&](std::initializer_list<const char*> methods) -> std::optional<Response> {
        for (const char* m : methods)
            if (r.method == m || (r.method == "HEAD" && std::string(m) == "GET")) return std::nullopt;
        std::string list;
        for (const char* m : methods) list += (list.empty() ? "" : ", ") + std::string(m);
        Response e = errorResponse(405, r.method + " is not allowed on " + r.path + " (allowed: " + list + ")");
        e.headers.push_back({"Allow", list});
        return e;
    };
    auto guarded = [&](std::initializer_list<const char*> methods, auto&& then) -> Response {
        if (auto refused = allow(methods)) return *refused;
        if (change)
            if (auto refusedChange = refuseChange(r)) return *refusedChange;
        return then();
    };
    if (p.size() < 2 || p[0] != "api" || p[1] != "v1") {
        for (const auto& f : kStaticFiles)
            if (r.path == f.path) return guarded({"GET"}, [&] { return staticFile(r.path); });
        return errorResponse(404, "nothing at " + r.path);
    }
    if (p.size() == 3 && p[2] == "health") return guarded({"GET"}, [&] { return health(); });
    if (p.size() == 3 && p[2] == "devices") return guarded({"GET"}, [&] { return devices(); });
    if (p.size() == 3 && p[2] == "events") return guarded({"GET"}, [&] { return events(r); });
    if (p.size() < 4 || p[2] != "devices") return errorResponse(404, "nothing at " + r.path);
    const std::optional<uint64_t> n = parseInstance(p[3]);
    if (!n) return errorResponse(404, "no device '" + p[3] + "': devices are named by their instance number");
    if (p.size() == 4) return guarded({"GET"}, [&] { return device(*n); });
    if (p.size() == 5 && p[4] == "restart")
        return guarded({"POST"}, [&] {
            if (auto bad = noValues(r)) return *bad;
            return restart(*n);
        });
    if (p.size() == 5 && p[4] == "faults")
        return guarded({"DELETE"}, [&] {
            if (auto bad = noValues(r)) return *bad;
            return deleteFaults(*n);
        });
    if (p.size() == 6 && p[4] == "faults") {
        if (!faultKindFromName(p[5]))
            return errorResponse(404, "no fault '" + p[5] + "' (input_off, frozen, unplugged, loss, delay)");
        return guarded({"PUT", "DELETE"}, [&] {
            if (r.method == "PUT") return putFault(*n, p[5], r);
            if (auto bad = noValues(r)) return *bad;
            return deleteFault(*n, p[5]);
        });
    }
    return errorResponse(404, "nothing at " + r.path);
}

// Host on every request (a page elsewhere reaching this through DNS rebinding names
// its own host), and the size limit.
std::optional<Response> Api::refuseAccess(const Request& r) const {
    const std::string* host = r.header("host");
    if (!host || !policy_.hosts.count(lower(*host)))
        return errorResponse(421, "this server answers to Host " + *policy_.hosts.begin() + ", not " +
                                      (host ? "'" + *host + "'" : "a request without one"));
    if (r.bodyTooLarge) return errorResponse(413, "a body of more than 65536 bytes is refused");
    return std::nullopt;
}

// What a change needs besides its path: our own origin (if the client names one),
// the token, and JSON when it carries a body.
std::optional<Response> Api::refuseChange(const Request& r) const {
    const std::string* origin = r.header("origin");
    if (origin && !policy_.origins.count(lower(*origin)))
        return errorResponse(403, "changes from the origin '" + *origin + "' are refused");
    const std::string* auth = r.header("authorization");
    const std::string scheme = "bearer ";
    if (!auth || auth->size() <= scheme.size() || lower(auth->substr(0, scheme.size())) != scheme ||
        !sameSecret(auth->substr(scheme.size()), policy_.token)) {
        Response e = errorResponse(401, auth ? "the token is not this server's (see api.token in the state directory)"
                                             : "a change needs the header Authorization: Bearer TOKEN "
                                               "(the token is in api.token in the state directory)");
        e.headers.push_back({"WWW-Authenticate", "Bearer realm=\"lcfleet\""});
        return e;
    }
    if (!r.body.empty()) {
        const std::string* type = r.header("content-type");
        std::string t = type ? lower(*type) : "";
        t = t.substr(0, t.find(';'));
        t.erase(t.find_last_not_of(" \t") + 1);
        if (t != "application/json")
            return errorResponse(415, "a body needs Content-Type: application/json, not '" + (type ? *type : "") + "'");
    }
    return std::nullopt;
}

Response Api::health() {
    return jsonResponse(200, json{{"status", "ok"}, {"devices", backend_.devices().size()},
                                  {"version", backend_.version()}});
}

Response Api::devices() {
    json list = json::array();
    for (const auto& d : backend_.devices()) list.push_back(deviceJson(d));
    return jsonResponse(200, list);
}

Response Api::device(uint64_t n) {
    DeviceView d;
    Outcome o = backend_.device(n, d);
    if (!o.ok()) return errorResponse(o.status, o.error);
    return jsonResponse(200, deviceJson(d));
}

Response Api::afterChange(uint64_t n, const Outcome& o) {
    if (!o.ok()) return errorResponse(o.status, o.error);
    return device(n);
}

Response Api::putFault(uint64_t n, const std::string& kindName, const Request& r) {
    std::optional<FaultKind> kind = faultKindFromName(kindName);
    if (!kind) return errorResponse(404, "no fault '" + kindName + "' (input_off, frozen, unplugged, loss, delay)");
    json body = json::object();
    if (!r.body.empty()) {
        body = json::parse(r.body, nullptr, false);
        if (body.is_discarded()) return errorResponse(400, "the body is not JSON");
        if (!body.is_object()) return errorResponse(400, "the body must be a JSON object");
    }
    FaultValues v;
    std::string error;
    if (!faultValues(*kind, body, v, error)) return errorResponse(400, kindName + ": " + error);
    return afterChange(n, backend_.setFault(n, *kind, v));
}

Response Api::deleteFault(uint64_t n, const std::string& kindName) {
    std::optional<FaultKind> kind = faultKindFromName(kindName);
    if (!kind) return errorResponse(404, "no fault '" + kindName + "' (input_off, frozen, unplugged, loss, delay)");
    return afterChange(n, backend_.clearFault(n, *kind));
}

Response Api::deleteFaults(uint64_t n) { return afterChange(n, backend_.clearAllFaults(n)); }

Response Api::restart(uint64_t n) { return afterChange(n, backend_.restart(n)); }

Response Api::events(const Request& r) {
    Response s;
    s.stream = true;
    auto it = r.query.find("instance");
    if (it != r.query.end()) {
        s.instanceFilter = parseInstance(it->second);
        if (!s.instanceFilter) return errorResponse(400, "instance must be an instance number, not '" + it->second + "'");
        DeviceView d;
        Outcome o = backend_.device(*s.instanceFilter, d);
        if (!o.ok()) return errorResponse(o.status, o.error);
    }
    if (const std::string* last = r.header("last-event-id")) s.lastEventId = *last;
    s.contentType = "text/event-stream; charset=utf-8";
    return s;
}

Response Api::staticFile(const std::string& path) const {
    for (const auto& f : kStaticFiles) {
        if (path != f.path) continue;
        std::ifstream in(dashboardDir_ + "/" + f.file, std::ios::binary);
        if (!in) return errorResponse(404, std::string("the dashboard's ") + f.file + " is not installed");
        Response r;
        r.contentType = f.type;
        r.body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        r.headers.push_back({"Content-Security-Policy",
                             "default-src 'self'; connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'"});
        r.headers.push_back({"X-Frame-Options", "DENY"});
        r.headers.push_back({"Referrer-Policy", "no-referrer"});
        return r;
    }
    return errorResponse(404, "nothing at " + path);
}

bool parseListen(const std::string& text, std::string& address, uint16_t& port, std::string& error) {
    size_t colon = text.rfind(':');
    error = "--listen needs ADDRESS:PORT (an IPv4 address or localhost, and a port), not '" + text + "'";
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || text.size() - colon > 6) return false;
    std::string host = lower(text.substr(0, colon));
    unsigned long p = 0;
    for (char c : text.substr(colon + 1)) {
        if (c < '0' || c > '9') return false;
        p = p * 10 + static_cast<unsigned long>(c - '0');
    }
    if (p > 65535) return false;
    if (host == "localhost") host = "127.0.0.1";
    int parts = 0;
    std::istringstream in(host);
    std::string part;
    while (std::getline(in, part, '.')) {
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(part) > 255)
            return false;
        ++parts;
    }
    if (parts != 4 || host.back() == '.') return false;
    address = host;
    port = static_cast<uint16_t>(p);
    error.clear();
    return true;
}

AccessPolicy policyFor(const std::vector<std::string>& addresses, uint16_t port, const std::string& token) {
    AccessPolicy p;
    p.token = token;
    const std::string suffix = ":" + std::to_string(port);
    std::vector<std::string> names = addresses;
    names.push_back("localhost");
    names.push_back("127.0.0.1");
    for (const auto& a : names) {
        p.hosts.insert(lower(a) + suffix);
        p.origins.insert("http://" + lower(a) + suffix);
        if (port == 80) {
            p.hosts.insert(lower(a));
            p.origins.insert("http://" + lower(a));
        }
    }
    return p;
}

std::optional<FaultKind> faultKindFromName(const std::string& name) {
    for (FaultKind k : {FaultKind::InputOff, FaultKind::Frozen, FaultKind::Unplugged, FaultKind::Loss, FaultKind::Delay})
        if (name == faultKindName(k)) return k;
    return std::nullopt;
}

const char* faultKindName(FaultKind kind) {
    switch (kind) {
    case FaultKind::InputOff: return "input_off";
    case FaultKind::Frozen: return "frozen";
    case FaultKind::Unplugged: return "unplugged";
    case FaultKind::Loss: return "loss";
    case FaultKind::Delay: return "delay";
    }
    return "?";
}

json deviceJson(const DeviceView& d) {
    auto orNull = [](const std::string& s) { return s.empty() ? json(nullptr) : json(s); };
    const Faults& f = d.faults;
    return json{
        {"instance", d.instance},
        {"serial", d.serial},
        {"address", orNull(d.address)},
        {"namespace", d.ns},
        {"pid", d.pid > 0 ? json(d.pid) : json(nullptr)},
        {"state", d.state},
        {"plugged", d.plugged},
        {"master_ip", orNull(d.masterIp)},
        {"play_target", orNull(d.playTarget)},
        {"input_on", d.inputOn ? json(*d.inputOn) : json(nullptr)},
        {"level", d.level ? json(*d.level) : json(nullptr)},
        {"muted", d.muted},
        {"rate", d.rate >= 0 ? json(d.rate) : json(nullptr)},
        {"faults",
         {{"loss", f.lossPercent},
          {"delay", {{"ms", f.delayMs}, {"jitter_ms", f.jitterMs}}},
          {"input_off", f.inputOff},
          {"frozen", f.frozen},
          {"unplugged", f.unplugged}}},
    };
}

}  // namespace lcserve
