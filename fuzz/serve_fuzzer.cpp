// Fuzz target: one HTTP request as the server's router gets it, made of a method, a
// path with its query, headers and a body, against a fleet held in memory. Whatever
// arrives, the answer is a status the server may give, errors have the one error
// shape, and nothing changes without the token and the server's own Host.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "api.h"
#include "events.h"
#include "fake_backend.h"
#include "fuzz_check.h"

using lcfuzz::require;

namespace {

const std::string kToken = "00112233445566778899aabbccddeeff";

// Input: "METHOD\nPATH[?QUERY]\nName: value\n...\n\nBODY". Missing parts are empty.
lcserve::Request parse(const std::string& in) {
    lcserve::Request r;
    size_t at = 0;
    auto line = [&]() {
        size_t eol = in.find('\n', at);
        std::string l = in.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
        at = eol == std::string::npos ? in.size() : eol + 1;
        return l;
    };
    r.method = line();
    std::string target = line();
    size_t q = target.find('?');
    r.path = target.substr(0, q);
    if (q != std::string::npos) {
        std::string query = target.substr(q + 1);
        size_t eq = query.find('=');
        r.query[query.substr(0, eq)] = eq == std::string::npos ? "" : query.substr(eq + 1);
    }
    for (std::string h = line(); !h.empty() && at <= in.size(); h = line()) {
        size_t colon = h.find(':');
        std::string name = h.substr(0, colon);
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string value = colon == std::string::npos ? "" : h.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        // "$token" stands for the right token, so that the fuzzer gets past the check.
        if (value.find("$token") != std::string::npos) value.replace(value.find("$token"), 6, kToken);
        r.headers.emplace(name, value);
        if (at >= in.size()) break;
    }
    r.body = in.substr(std::min(at, in.size()));
    r.bodyTooLarge = r.body.size() > lcserve::kMaxBody;
    if (r.bodyTooLarge) r.body.clear();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    lcserve::FakeBackend backend;
    lcserve::Broadcaster events(64, "fz");
    backend.start([&](std::vector<lcserve::Event> e) { events.publish(std::move(e)); });
    lcserve::Api api(backend, lcserve::policyFor({"198.18.0.1"}, 8474, kToken), "/nonexistent");
    const lcserve::Request req = parse(in);
    const lcserve::Response res = api.handle(req);

    require(res.status >= 200 && res.status <= 599, "a status outside 200..599");
    if (res.stream) {
        require(res.status == 200 && req.path == "/api/v1/events", "a stream where none belongs");
        return 0;
    }
    auto body = nlohmann::json::parse(res.body, nullptr, false);
    if (res.status >= 400) {
        require(body.is_object() && body.size() == 2 && body["error"].is_string() && body["status"] == res.status,
                "an error not in the one error shape");
    } else if (req.path.rfind("/api/", 0) == 0) {
        require(!body.is_discarded(), "an answer that is not JSON");
    }
    if (backend.changes > 0) {
        const std::string* host = req.header("host");
        const std::string* auth = req.header("authorization");
        require(lcserve::isChange(req.method), "a read changed the fleet");
        require(host && auth && auth->find(kToken) != std::string::npos, "a change without the Host and the token");
    }
    // Every fault event of the change became one whole frame.
    char buf[512];
    auto client = events.open({}, "", {}, {}, {});
    std::string text;
    for (ssize_t n; (n = events.read(*client, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    for (size_t at = text.find("data: "); at != std::string::npos; at = text.find("data: ", at + 1))
        require(text.compare(text.find('\n', at), 2, "\n\n") == 0, "an event frame with a line break inside");
    return 0;
}
