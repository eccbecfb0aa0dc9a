#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tallyvox::testing {

// A small HTTP/1.1 server on 127.0.0.1 for download tests: each path answers with a status
// and a body, optionally closing the connection after part of the body.
class LoopbackHttpServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
        size_t cutAfter = std::string::npos; // bytes of the body sent before hanging up
        // Content-Length sent instead of the body's; with `endless` and none, no length.
        std::optional<std::string> announced = std::nullopt;
        bool endless = false; // the body again and again until the client hangs up
        std::chrono::milliseconds dripEvery{0}; // a pause after each byte of the body
    };

    LoopbackHttpServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int yes = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 8);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackHttpServer() {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
    }

    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    void route(const std::string& path, Reply reply) {
        std::lock_guard lock(mutex_);
        routes_[path] = std::move(reply);
    }
    // Answers `path` with 302 to `location`, with a body as many servers send one.
    void redirect(const std::string& path, const std::string& location, std::string body) {
        route(path, {302, std::move(body)});
        std::lock_guard lock(mutex_);
        locations_[path] = location;
    }
    int requests() const { return requests_; }

private:
    void serve() {
        while (!stopping_) {
            int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0)
                continue;
            while (answer(client)) {
            }
            ::close(client);
        }
    }

    // True when the connection stays open for another request.
    bool answer(int client) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            ssize_t count = ::recv(client, buffer, sizeof buffer, 0);
            if (count <= 0)
                return false;
            request.append(buffer, static_cast<size_t>(count));
        }
        ++requests_;
        size_t space = request.find(' ');
        std::string path = request.substr(space + 2, request.find(' ', space + 1) - space - 2);
        Reply reply{404, "not found"};
        std::string location;
        {
            std::lock_guard lock(mutex_);
            if (auto it = routes_.find(path); it != routes_.end())
                reply = it->second;
            if (auto it = locations_.find(path); it != locations_.end())
                location = it->second;
        }
        // A redirect keeps the connection, as real servers do, so the client reads its body.
        std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " Test\r\n";
        if (reply.announced || !reply.endless)
            head +=
                "Content-Length: " + reply.announced.value_or(std::to_string(reply.body.size())) +
                "\r\n";
        head += location.empty() ? "Connection: close\r\n" : "Location: " + location + "\r\n";
        head += "\r\n";
        sendAll(client, head);
        std::string body = reply.body.substr(0, reply.cutAfter);
        if (reply.dripEvery.count() > 0) {
            for (char byte : body) {
                if (stopping_ || !sendAll(client, std::string(1, byte)))
                    return false;
                std::this_thread::sleep_for(reply.dripEvery);
            }
        } else {
            bool sent = sendAll(client, body);
            while (sent && reply.endless && !stopping_)
                sent = sendAll(client, body);
        }
        return !location.empty();
    }

    // False once the client has gone.
    static bool sendAll(int client, const std::string& data) {
        size_t sent = 0;
        while (sent < data.size()) {
            ssize_t count = ::send(client, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (count <= 0)
                return false;
            sent += static_cast<size_t>(count);
        }
        return true;
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> requests_{0};
    std::mutex mutex_;
    std::map<std::string, Reply> routes_;
    std::map<std::string, std::string> locations_;
    std::thread thread_;
};

} // namespace tallyvox::testing
