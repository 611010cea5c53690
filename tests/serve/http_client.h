// A small HTTP/1.1 client of the tests' own over a TCP socket to 127.0.0.1: one
// request per connection, chunked bodies taken apart, and an event stream read as it
// arrives. Header-only; the tests send exactly the bytes they mean to.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace servetest {

struct Reply {
    int status = 0;  // 0: no answer
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

inline int connectTo(uint16_t port, int rcvbuf = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (rcvbuf) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool sendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads what arrives within ms (appended to into); false at end of stream or error.
inline bool readSome(int fd, std::string& into, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return true;
    char buf[16384];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    into.append(buf, static_cast<size_t>(n));
    return true;
}

// Takes the chunks of a chunked body apart as far as they have arrived; done when the
// last chunk was seen.
inline std::string dechunk(const std::string& raw, bool& done) {
    std::string out;
    size_t at = 0;
    done = false;
    for (;;) {
        size_t eol = raw.find("\r\n", at);
        if (eol == std::string::npos) return out;
        size_t size = std::stoul(raw.substr(at, eol - at), nullptr, 16);
        if (size == 0) {
            done = raw.find("\r\n", eol + 2) != std::string::npos;
            return out;
        }
        if (raw.size() < eol + 2 + size + 2) return out;
        out += raw.substr(eol + 2, size);
        at = eol + 2 + size + 2;
    }
}

// Splits head and body; false until the head is complete.
inline bool parseHead(const std::string& raw, Reply& r, size_t& bodyAt) {
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    r.status = std::stoi(raw.substr(9, 3));
    size_t at = raw.find("\r\n") + 2;
    while (at < end) {
        size_t eol = raw.find("\r\n", at);
        std::string line = raw.substr(at, eol - at);
        size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t v = line.find_first_not_of(' ', colon + 1);
        r.headers[name] = v == std::string::npos ? "" : line.substr(v);
        at = eol + 2;
    }
    bodyAt = end + 4;
    return true;
}

// Sends raw bytes as one request and reads the answer until the server closes or the
// body is complete.
inline Reply ask(uint16_t port, const std::string& raw, int timeoutMs = 10000) {
    Reply r;
    int fd = connectTo(port);
    if (fd < 0) return r;
    sendAll(fd, raw);  // the server may answer before it read all of it
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t bodyAt = 0;
    bool open = true;
    while (open && std::chrono::steady_clock::now() < deadline) {
        open = readSome(fd, got, 50);
        Reply head;
        if (!parseHead(got, head, bodyAt)) continue;
        std::string rest = got.substr(bodyAt);
        if (head.headers.count("content-length") && rest.size() >= std::stoul(head.headers["content-length"])) break;
        bool done = false;
        if (head.headers["transfer-encoding"] == "chunked") dechunk(rest, done);
        if (done) break;
    }
    close(fd);
    if (!parseHead(got, r, bodyAt)) return Reply{};
    std::string rest = got.substr(bodyAt);
    bool done = false;
    r.body = r.headers["transfer-encoding"] == "chunked" ? dechunk(rest, done) : rest;
    return r;
}

// The text of a request; Host 127.0.0.1:port unless headers name one ("" leaves it out).
inline std::string request(const std::string& method, const std::string& path, uint16_t port,
                           std::map<std::string, std::string> headers = {}, const std::string& body = "") {
    if (!headers.count("Host")) headers["Host"] = "127.0.0.1:" + std::to_string(port);
    std::string text = method + " " + path + " HTTP/1.1\r\nConnection: close\r\n";
    for (const auto& [name, value] : headers)
        if (!(name == "Host" && value.empty())) text += name + ": " + value + "\r\n";
    if (!body.empty() || method == "PUT" || method == "POST") text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return text + "\r\n" + body;
}

// An open event stream.
class Stream {
public:
    Stream(uint16_t port, const std::string& path, const std::string& lastEventId = "", int rcvbuf = 0) {
        fd_ = connectTo(port, rcvbuf);
        std::map<std::string, std::string> h;
        if (!lastEventId.empty()) h["Last-Event-ID"] = lastEventId;
        if (fd_ >= 0) sendAll(fd_, request("GET", path, port, h));
    }
    ~Stream() {
        if (fd_ >= 0) close(fd_);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Reads until cond holds on the text so far, the stream ends, or the time is up.
    bool readUntil(const std::function<bool(const std::string&)>& cond, int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!cond(text()) && std::chrono::steady_clock::now() < deadline) {
            if (!readSome(fd_, raw_, 50)) {
                closed_ = true;
                break;
            }
        }
        return cond(text());
    }
    // The body so far, its chunks taken apart as they come.
    const std::string& text() {
        if (!headDone_) {
            Reply r;
            if (!parseHead(raw_, r, at_)) return body_;
            status_ = r.status;
            headDone_ = true;
        }
        for (;;) {
            size_t eol = raw_.find("\r\n", at_);
            if (eol == std::string::npos) break;
            size_t size = std::stoul(raw_.substr(at_, eol - at_), nullptr, 16);
            if (size == 0) {
                ended_ = raw_.find("\r\n", eol + 2) != std::string::npos;
                break;
            }
            if (raw_.size() < eol + 2 + size + 2) break;
            body_.append(raw_, eol + 2, size);
            at_ = eol + 2 + size + 2;
        }
        return body_;
    }
    int status() const { return status_; }
    bool ended() const { return ended_; }   // the last chunk came: a clean end
    bool closed() const { return closed_; } // the server closed the connection
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string raw_, body_;
    size_t at_ = 0;
    bool headDone_ = false;
    int status_ = 0;
    bool ended_ = false;
    bool closed_ = false;
};

}  // namespace servetest
