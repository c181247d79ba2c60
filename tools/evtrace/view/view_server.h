// The viewer's HTTP server: one page, its stream of events (server-sent
// events) and its JSON queries, behind three checks made on every request
// before any route runs:
//   - the access token (query parameter "token" or header
//     "X-Evtrace-Token"), compared in constant time;
//   - the Host header names an address literal or "localhost" with the
//     viewer's port, so a name that a hostile site points at 127.0.0.1 (DNS
//     rebinding) is refused;
//   - an Origin header, when sent, is this viewer's own origin, and no
//     script of another site (Sec-Fetch-Site) reaches the API.
// The page runs under a content security policy that allows only its own
// inline script and style (a fresh nonce per response) and connections to
// this server.
#pragma once

#include <memory>
#include <string>

#include "view/view_feed.h"
#include "view/view_source.h"

namespace httplib {
class Server;
}

namespace evtrace::view {

struct ServerOptions {
    std::string bind = "127.0.0.1";
    int port = 0;  // 0: any free port
    std::string token;
    std::string downloadFolder;  // a private folder for CreateLogFile's files
};

class Server {
public:
    Server(Feed& feed, Source& source, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the listening socket; throws CommandError when it cannot.
    void Bind();
    // The address to open, with the token.
    std::string Url() const;
    // Serves until Stop (from another thread).
    void Run();
    void Stop();

private:
    void Routes();

    Feed& feed_;
    Source& source_;
    ServerOptions options_;
    int port_ = 0;
    std::unique_ptr<httplib::Server> http_;
    std::string pageHead_, pageMiddle_, pageTail_;  // the page around its nonces
};

}  // namespace evtrace::view
