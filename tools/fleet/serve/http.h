// The HTTP side of lcfleet serve over libmicrohttpd: one polling thread serves every
// connection; event streams are reader callbacks that park their connection while
// nothing is due; changes, which may wait on devices for seconds, run on a few worker
// threads while their connection is parked.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api.h"
#include "events.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace lcserve {

struct Call;

class HttpServer {
public:
    explicit HttpServer(Broadcaster& events);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds address:port (port 0: any free one); false with error.
    bool listen(const std::string& address, uint16_t port, std::string& error);
    uint16_t port() const { return port_; }
    // Starts serving on the bound socket with api.
    bool start(Api& api, std::string& error);
    // Stops taking connections, lets the changes under way finish, ends the event
    // streams cleanly (waiting up to a second for them) and stops.
    void stop();

    // Called by the library (public for its C callbacks).
    int access(::MHD_Connection* conn, const char* url, const char* method, const char* upload,
               size_t* uploadSize, void** state);
    void completed(void** state);
    ssize_t readStream(Call& call, char* buf, size_t max);

private:
    int respond(Call& call, const Response& r);
    int openStream(Call& call, const Response& r);
    bool submit(Call* call);
    void work();
    void tickLoop();

    Api* api_ = nullptr;
    Broadcaster& events_;
    int listenFd_ = -1;
    MHD_Daemon* daemon_ = nullptr;
    uint16_t port_ = 0;

    std::mutex mu_;
    std::condition_variable cv_;      // workers wait here
    std::condition_variable tickCv_;  // the ticker here
    std::deque<Call*> queue_;
    std::set<Call*> resumed_;  // done on a worker, not yet answered
    bool stopping_ = false;
    bool tickerStop_ = false;
    std::vector<std::thread> workers_;
    std::thread ticker_;
};

}  // namespace lcserve
