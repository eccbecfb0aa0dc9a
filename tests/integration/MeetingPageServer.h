#pragma once

// A meeting site on loopback for real browsers: an HTTP proxy that answers a CONNECT to the
// meeting's host itself, over TLS with a throwaway certificate, so the browser sees the
// meeting's real address (and a secure context, which the microphone needs) while nothing
// leaves the machine. Any other host is refused.

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tallyvox::testing {

class MeetingPageServer {
public:
    struct Page {
        std::string contentType;
        std::string body;
    };

    // `host` is the one CONNECT target answered ("meet.google.com:443"); `pages` by path.
    MeetingPageServer(std::string host, std::map<std::string, Page> pages,
                      const std::filesystem::path& certificate, const std::filesystem::path& key)
        : host_(std::move(host))
        , pages_(std::move(pages)) {
        context_ = SSL_CTX_new(TLS_server_method());
        if (!context_ || SSL_CTX_use_certificate_chain_file(context_, certificate.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(context_, key.c_str(), SSL_FILETYPE_PEM) != 1)
            return;
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) ||
            ::listen(listener_, 64) ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size))
            return;
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { acceptAll(); });
    }
    ~MeetingPageServer() {
        stopping_ = true;
        if (listener_ >= 0)
            ::shutdown(listener_, SHUT_RDWR);
        if (acceptor_.joinable())
            acceptor_.join();
        {
            // A browser may hold connections open: wake their readers.
            std::lock_guard lock(mutex_);
            for (int fd : open_)
                ::shutdown(fd, SHUT_RDWR);
        }
        for (auto& worker : workers_)
            worker.join();
        if (listener_ >= 0)
            ::close(listener_);
        SSL_CTX_free(context_);
    }
    MeetingPageServer(const MeetingPageServer&) = delete;
    MeetingPageServer& operator=(const MeetingPageServer&) = delete;

    // 0 when it could not start.
    int port() const { return port_; }
    // Every path asked for, once each.
    std::set<std::string> requested() const {
        std::lock_guard lock(mutex_);
        return requested_;
    }
    bool wasRequested(const std::string& path) const { return requested().count(path) > 0; }
    // Every request line the proxy was sent, answered or refused, once each.
    std::set<std::string> proxied() const {
        std::lock_guard lock(mutex_);
        return proxied_;
    }

private:
    void acceptAll() {
        // A browser may hang up while it is being answered: the write fails rather than the
        // signal ending the test. Blocked here, and in the workers that inherit the mask, the
        // signal is the writing thread's own and goes with it.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        while (!stopping_) {
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                break;
            std::lock_guard lock(mutex_);
            open_.insert(fd);
            workers_.emplace_back([this, fd] {
                serve(fd);
                std::lock_guard done(mutex_);
                open_.erase(fd);
                ::close(fd);
            });
        }
    }

    // The head of one request, up to its blank line; empty when the peer goes first.
    template <class Read> static std::string readHead(Read read) {
        std::string head;
        char c = 0;
        while (head.size() < 16384 && read(&c) == 1) {
            head += c;
            if (head.ends_with("\r\n\r\n"))
                return head;
        }
        return {};
    }

    void serve(int fd) {
        auto connect = readHead([fd](char* c) { return ::read(fd, c, 1); });
        {
            std::lock_guard lock(mutex_);
            proxied_.insert(connect.substr(0, connect.find('\r')));
        }
        auto reply = [fd](const std::string& text) {
            return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        };
        if (!connect.starts_with("CONNECT " + host_ + " ")) {
            reply("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            return;
        }
        if (!reply("HTTP/1.1 200 Connection established\r\n\r\n"))
            return;
        SSL* tls = SSL_new(context_);
        SSL_set_fd(tls, fd);
        if (SSL_accept(tls) == 1)
            while (!stopping_ && answer(tls)) {
            }
        SSL_shutdown(tls);
        SSL_free(tls);
    }

    // One request on a kept-alive connection; false once it is over.
    bool answer(SSL* tls) {
        auto head = readHead([tls](char* c) { return SSL_read(tls, c, 1); });
        auto space = head.find(' ');
        if (space == std::string::npos)
            return false;
        auto path = head.substr(space + 1, head.find(' ', space + 1) - space - 1);
        {
            std::lock_guard lock(mutex_);
            requested_.insert(path);
        }
        auto page = pages_.find(path.substr(0, path.find('?')));
        std::string response =
            page == pages_.end()
                ? "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"
                : "HTTP/1.1 200 OK\r\nContent-Type: " + page->second.contentType +
                      "\r\nCache-Control: no-store\r\nContent-Length: " +
                      std::to_string(page->second.body.size()) + "\r\n\r\n" + page->second.body;
        return SSL_write(tls, response.data(), static_cast<int>(response.size())) ==
               static_cast<int>(response.size());
    }

    std::string host_;
    std::map<std::string, Page> pages_;
    SSL_CTX* context_ = nullptr;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::set<int> open_;
    std::set<std::string> requested_;
    std::set<std::string> proxied_;
};

} // namespace tallyvox::testing
