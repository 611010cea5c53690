#include "http.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>

namespace lcserve {

namespace {

constexpr size_t kWorkers = 3;
constexpr size_t kMaxQueued = 32;
constexpr unsigned kConnectionTimeoutS = 30;  // a stream writes at least every 15 s
constexpr unsigned kMaxConnections = 1000;
constexpr int kStreamSendBuffer = 128 * 1024;

}  // namespace

// One request's own state, made on the first call of the access handler and freed in
// the completion callback however the request ended.
struct Call {
    HttpServer* server = nullptr;
    MHD_Connection* conn = nullptr;
    Request req;
    enum class Stage { Reading, Working, Done } stage = Stage::Reading;
    Response resp;
    std::shared_ptr<Broadcaster::Client> client;
    int fd = -1;
};

namespace {

std::string lower(const char* text, size_t size) {
    std::string s(text, size);
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A header's value without the blanks around it (the library leaves those at its end):
// "Host: 127.0.0.1:8474 " is the listened address all the same.
MHD_Result takeHeader(void* cls, MHD_ValueKind, const char* key, size_t keySize, const char* value, size_t valueSize) {
    auto& headers = *static_cast<std::map<std::string, std::string>*>(cls);
    std::string v = value ? std::string(value, valueSize) : std::string();
    v.erase(v.find_last_not_of(" \t") + 1);
    v.erase(0, v.find_first_not_of(" \t"));
    headers.emplace(lower(key, keySize), std::move(v));
    return MHD_YES;
}

MHD_Result takeArgument(void* cls, MHD_ValueKind, const char* key, size_t keySize, const char* value,
                        size_t valueSize) {
    auto& query = *static_cast<std::map<std::string, std::string>*>(cls);
    query.emplace(std::string(key, keySize), value ? std::string(value, valueSize) : std::string());
    return MHD_YES;
}

MHD_Result onAccess(void* cls, MHD_Connection* conn, const char* url, const char* method, const char*,
                    const char* upload, size_t* uploadSize, void** state) {
    return static_cast<HttpServer*>(cls)->access(conn, url, method, upload, uploadSize, state) ? MHD_YES : MHD_NO;
}

void onCompleted(void* cls, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    static_cast<HttpServer*>(cls)->completed(state);
}

ssize_t onStreamRead(void* cls, uint64_t, char* buf, size_t max);

void addHeaders(MHD_Response* m, const Response& r) {
    MHD_add_response_header(m, "Content-Type", r.contentType.c_str());
    MHD_add_response_header(m, "Cache-Control", "no-store");
    MHD_add_response_header(m, "X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : r.headers) MHD_add_response_header(m, name.c_str(), value.c_str());
}

// The server's own texts go to standard error; the library's are of no use to a user.
void quietLog(void*, const char*, va_list) {}

}  // namespace

HttpServer::HttpServer(Broadcaster& events) : events_(events) {}

HttpServer::~HttpServer() {
    stop();
    if (listenFd_ >= 0) close(listenFd_);
}

bool HttpServer::listen(const std::string& address, uint16_t port, std::string& error) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return false;
    }
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    socklen_t size = sizeof sa;
    if (listenFd_ < 0 || setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listenFd_, 128) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &size) != 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        if (listenFd_ >= 0) close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    port_ = ntohs(sa.sin_port);
    return true;
}

bool HttpServer::start(Api& api, std::string& error) {
    api_ = &api;
    const unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
                           MHD_USE_ERROR_LOG;
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &onAccess, this,                   //
                               MHD_OPTION_LISTEN_SOCKET, listenFd_,                          //
                               MHD_OPTION_NOTIFY_COMPLETED, &onCompleted, this,              //
                               MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutS,           //
                               MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,                 //
                               MHD_OPTION_EXTERNAL_LOGGER, &quietLog, nullptr,               //
                               MHD_OPTION_END);
    if (!daemon_) {
        error = std::string("cannot start the HTTP server: ") + std::strerror(errno);
        return false;
    }
    listenFd_ = -1;  // the library's now
    for (size_t i = 0; i < kWorkers; ++i) workers_.emplace_back([this] { work(); });
    ticker_ = std::thread([this] { tickLoop(); });
    return true;
}

void HttpServer::stop() {
    if (!daemon_) return;
    MHD_socket listener = MHD_quiesce_daemon(daemon_);
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
    for (auto& w : workers_) w.join();
    workers_.clear();
    events_.shutdown();
    // The answers of the last changes and the ends of the streams go out first.
    auto pending = [this] {
        std::lock_guard<std::mutex> lock(mu_);
        return !resumed_.empty() || events_.clients() > 0;
    };
    for (int waited = 0; waited < 1000 && pending(); waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    {
        std::lock_guard<std::mutex> lock(mu_);
        tickerStop_ = true;
    }
    tickCv_.notify_all();
    if (ticker_.joinable()) ticker_.join();
    MHD_stop_daemon(daemon_);
    if (listener != MHD_INVALID_SOCKET) close(listener);
    daemon_ = nullptr;
}

// The table of contents: the request's state on the first call, its body as it
// comes, then a change goes to a worker and anything else is answered here.
int HttpServer::access(MHD_Connection* conn, const char* url, const char* method, const char* upload,
                       size_t* uploadSize, void** state) {
    auto* call = static_cast<Call*>(*state);
    if (!call) {
        call = new Call;
        call->server = this;
        call->conn = conn;
        call->req.method = method;
        call->req.path = url;
        MHD_get_connection_values_n(conn, MHD_HEADER_KIND, &takeHeader, &call->req.headers);
        MHD_get_connection_values_n(conn, MHD_GET_ARGUMENT_KIND, &takeArgument, &call->req.query);
        const std::string* length = call->req.header("content-length");
        if (length && (length->size() > 9 || std::strtoull(length->c_str(), nullptr, 10) > kMaxBody))
            call->req.bodyTooLarge = true;
        *state = call;
        // A body too large for us is not read: the answer goes out at once.
        if (call->req.bodyTooLarge) return respond(*call, api_->handle(call->req));
        return true;
    }
    if (*uploadSize) {
        if (call->req.body.size() + *uploadSize > kMaxBody) {
            call->req.bodyTooLarge = true;
            call->req.body.clear();
        } else if (!call->req.bodyTooLarge) {
            call->req.body.append(upload, *uploadSize);
        }
        *uploadSize = 0;
        return true;
    }
    if (call->stage == Call::Stage::Done) {
        std::lock_guard<std::mutex> lock(mu_);
        resumed_.erase(call);
        return respond(*call, call->resp);
    }
    if (isChange(call->req.method) && !call->req.bodyTooLarge) {
        if (!submit(call)) return respond(*call, errorResponse(503, "too many changes under way; try again"));
        return true;
    }
    return respond(*call, api_->handle(call->req));
}

bool HttpServer::submit(Call* call) {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ || queue_.size() >= kMaxQueued) return false;
    call->stage = Call::Stage::Working;
    MHD_suspend_connection(call->conn);
    queue_.push_back(call);
    cv_.notify_one();
    return true;
}

void HttpServer::work() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, nothing left
        Call* call = queue_.front();
        queue_.pop_front();
        lock.unlock();
        Response r = api_->handle(call->req);
        lock.lock();
        call->resp = std::move(r);
        call->stage = Call::Stage::Done;
        resumed_.insert(call);
        MHD_resume_connection(call->conn);
    }
}

// Keep-alives, and resumes again whatever was resumed and not yet taken up, in case a
// resume crossed the library's own suspending of the connection.
void HttpServer::tickLoop() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!tickCv_.wait_for(lock, std::chrono::milliseconds(50), [this] { return tickerStop_; })) {
        for (Call* call : resumed_) MHD_resume_connection(call->conn);
        lock.unlock();
        events_.tick();
        lock.lock();
    }
}

int HttpServer::respond(Call& call, const Response& r) {
    if (r.stream) return openStream(call, r);
    MHD_Response* m = MHD_create_response_from_buffer(r.body.size(), const_cast<char*>(r.body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (!m) return false;
    addHeaders(m, r);
    MHD_Result ok = MHD_queue_response(call.conn, static_cast<unsigned>(r.status), m);
    MHD_destroy_response(m);
    return ok == MHD_YES;
}

int HttpServer::openStream(Call& call, const Response& r) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(call.conn, MHD_CONNECTION_INFO_CONNECTION_FD);
    call.fd = info ? info->connect_fd : -1;
    // A reader that stops holds at most this much in the kernel; then it no longer
    // takes writes, falls behind the ring and is cut off (or times out).
    const int sendBuffer = kStreamSendBuffer;
    if (call.fd >= 0) setsockopt(call.fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    MHD_Connection* conn = call.conn;
    const int fd = call.fd;
    call.client = events_.open(
        r.instanceFilter, r.lastEventId, [conn] { MHD_suspend_connection(conn); },
        [conn] { MHD_resume_connection(conn); },
        [fd] {
            if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
        });
    MHD_Response* m = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &onStreamRead, &call, nullptr);
    if (!m) return false;
    addHeaders(m, r);
    MHD_add_response_header(m, "X-Accel-Buffering", "no");
    MHD_Result ok = MHD_queue_response(call.conn, MHD_HTTP_OK, m);
    MHD_destroy_response(m);
    return ok == MHD_YES;
}

ssize_t HttpServer::readStream(Call& call, char* buf, size_t max) {
    ssize_t n = events_.read(*call.client, buf, max);
    if (n == -1) return MHD_CONTENT_READER_END_OF_STREAM;
    if (n < 0) return MHD_CONTENT_READER_END_WITH_ERROR;
    return n;
}

void HttpServer::completed(void** state) {
    auto* call = static_cast<Call*>(*state);
    if (!call) return;
    if (call->client) events_.close(call->client);
    delete call;
    *state = nullptr;
}

namespace {

ssize_t onStreamRead(void* cls, uint64_t, char* buf, size_t max) {
    auto* call = static_cast<Call*>(cls);
    return call->server->readStream(*call, buf, max);
}

}  // namespace

}  // namespace lcserve
