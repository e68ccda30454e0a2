#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for the download tests: serves fixed bodies, any
// status, bodies without a length, and slow bodies; counts the requests it receives.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvaline::test {

class LocalHttpServer {
  public:
    struct Response {
        int status = 200;
        std::string body;
        bool sendLength = true;  ///< false: no Content-Length, the body ends at close
        /// After this many body bytes, the server sends the rest in small pieces with
        /// `pause` between them (a slow or stalled body).
        std::size_t slowAfter = SIZE_MAX;
        std::chrono::milliseconds pause{0};
    };

    LocalHttpServer();
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    /// Serves `response` at `path` ("/file.bin"); unknown paths get 404.
    void serve(const std::string& path, Response response);
    /// "http://127.0.0.1:<port>" + path.
    std::string url(const std::string& path) const;
    /// Requests received so far (all paths, or one path).
    int requests() const;
    int requests(const std::string& path) const;

  private:
    void acceptLoop();
    void handle(int client);

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::map<std::string, Response> routes_;
    std::map<std::string, int> counts_;
    int total_ = 0;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

}  // namespace corvaline::test
