#include "view/view_server.h"

#include <httplib.h>

#include <chrono>
#include <thread>

#include <fmt/format.h>

#include "command.h"
#include "view/view_checks.h"
#include "view/view_page.h"
#include "view/view_queries.h"

namespace evtrace::view {
namespace {

// Batches of events go to a page at most this often: a page costs the
// server one write per period, however many events came.
constexpr auto kStreamPeriod = std::chrono::milliseconds(50);
// A comment line keeps an idle stream open and finds pages that went away.
constexpr auto kKeepAlive = std::chrono::seconds(10);
// Requests are small; a download asks for at most keepEvents ids.
constexpr size_t kMaxBody = 8u << 20;
// One thread per open page's stream, and some for everything else.
constexpr size_t kThreads = 16;

constexpr char kPagePolicy[] =
    "default-src 'none'; script-src 'nonce-{0}'; style-src 'nonce-{0}'; connect-src 'self'; img-src 'self' data:; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
constexpr char kDataPolicy[] = "default-src 'none'; frame-ancestors 'none'; sandbox";

std::string Replace(std::string text, const std::string& marker, const std::string& by) {
    size_t at = text.find(marker);
    if (at != std::string::npos) text.replace(at, marker.size(), by);
    return text;
}

void Json(httplib::Response& res, const std::string& body) {
    res.set_header("Content-Security-Policy", kDataPolicy);
    res.set_content(body, "application/json; charset=utf-8");
}

void Text(httplib::Response& res, int status, const std::string& body) {
    res.status = status;
    res.set_header("Content-Security-Policy", kDataPolicy);
    res.set_content(body + "\n", "text/plain; charset=utf-8");
}

std::string Nonce() { return NewToken().substr(0, 32); }

}  // namespace

Server::Server(Feed& feed, Source& source, ServerOptions options)
    : feed_(feed), source_(source), options_(std::move(options)), http_(std::make_unique<httplib::Server>()) {
    // The page with its style and script in place; the nonce goes between
    // the three parts.
    std::string page = Replace(Replace(kViewPageHtml, "@STYLE@", kViewPageCss), "@SCRIPT@", kViewPageJs);
    size_t first = page.find("@NONCE@");
    size_t second = page.find("@NONCE@", first + 1);
    pageHead_ = page.substr(0, first);
    pageMiddle_ = page.substr(first + 7, second - first - 7);
    pageTail_ = page.substr(second + 7);
    Routes();
}

Server::~Server() = default;

void Server::Bind() {
    http_->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    http_->set_payload_max_length(kMaxBody);
    http_->set_keep_alive_max_count(1000);
    http_->set_default_headers({{"Cache-Control", "no-store"},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"},
                                {"X-Frame-Options", "DENY"},
                                {"Cross-Origin-Resource-Policy", "same-origin"}});
    if (options_.port == 0) {
        port_ = http_->bind_to_any_port(options_.bind);
    } else {
        port_ = http_->bind_to_port(options_.bind, options_.port) ? options_.port : -1;
    }
    if (port_ <= 0) {
        throw CommandError{options_.port == 0
                               ? fmt::format("cannot listen on {}: no port could be bound; check the address of "
                                             "--bind",
                                             options_.bind)
                               : fmt::format("cannot listen on {} port {}: it is in use or not allowed; choose "
                                             "another with --port (0 takes any free port)",
                                             options_.bind, options_.port)};
    }
}

std::string Server::Url() const {
    const bool v6 = options_.bind.find(':') != std::string::npos;
    std::string host = options_.bind == "0.0.0.0" ? "127.0.0.1" : options_.bind == "::" ? "[::1]"
                       : v6                       ? "[" + options_.bind + "]"
                                                  : options_.bind;
    return fmt::format("http://{}:{}/?token={}", host, port_, options_.token);
}

void Server::Run() { http_->listen_after_bind(); }

void Server::Stop() {
    feed_.CloseAll();
    http_->stop();
}

void Server::Routes() {
    http_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        RequestHeaders headers;
        headers.host = req.get_header_value("Host");
        headers.origin = req.get_header_value("Origin");
        headers.fetchSite = req.get_header_value("Sec-Fetch-Site");
        headers.fetchMode = req.get_header_value("Sec-Fetch-Mode");
        headers.token = req.has_param("token") ? req.get_param_value("token") : req.get_header_value("X-Evtrace-Token");
        std::string why;
        if (RequestAllowed(headers, options_.token, port_, &why)) return httplib::Server::HandlerResponse::Unhandled;
        Text(res, 403, "Refused: " + why + ".");
        return httplib::Server::HandlerResponse::Handled;
    });
    http_->set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (res.body.empty()) Text(res, res.status, fmt::format("{} {}: no such page of the viewer.", res.status, req.path));
    });
    http_->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        Text(res, 500, "The viewer failed to answer this request.");
    });

    http_->Get("/", [this](const httplib::Request&, httplib::Response& res) {
        const std::string nonce = Nonce();
        res.set_header("Content-Security-Policy", fmt::format(kPagePolicy, nonce));
        res.set_content(pageHead_ + nonce + pageMiddle_ + nonce + pageTail_, "text/html; charset=utf-8");
    });
    http_->Get("/api/meta", [](const httplib::Request&, httplib::Response& res) { Json(res, MetaJson()); });
    http_->Get("/api/status",
               [this](const httplib::Request&, httplib::Response& res) { Json(res, StatusJson(source_, feed_)); });
    http_->Get("/api/history",
               [this](const httplib::Request&, httplib::Response& res) { Json(res, HistoryJson(source_)); });
    http_->Get("/api/alert", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string text = req.get_param_value("code");
        char* end = nullptr;
        unsigned long long code = strtoull(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || code > 0xFFFFFFFFull) return Text(res, 400, "Bad event code.");
        Json(res, AlertJson(source_, DWORD(code)));
    });
    http_->Post("/api/download", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string format = req.get_param_value("format");
        if (format != "bin" && format != "csv") return Text(res, 400, "The format is bin or csv.");
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        if (!ParseIdRanges(req.body, feed_.limits().keepEvents, &ranges))
            return Text(res, 400, "The list of events is not of the form 1-20,25,30-31 or asks for too many.");
        Download d = MakeDownload(source_, feed_, ranges, format == "bin", options_.downloadFolder);
        if (!d.ok) return Text(res, 500, d.body);
        res.set_header("X-Evtrace-Records", std::to_string(d.records));
        res.set_header("X-Evtrace-Missing", std::to_string(d.missing));
        res.set_header("Content-Disposition", fmt::format("attachment; filename=\"events.{}\"", format));
        res.set_header("Content-Security-Policy", kDataPolicy);
        res.set_content(std::move(d.body), format == "bin" ? "application/octet-stream" : "text/csv");
    });

    // The stream: "hello" first, then one message per batch, each event's
    // object as the feed encoded it, and the page's drops so far.
    http_->Get("/events", [this](const httplib::Request& req, httplib::Response& res) {
        uint64_t after = 0;
        // A page that reconnects goes on after the last batch it had.
        if (req.has_param("after")) after = strtoull(req.get_param_value("after").c_str(), nullptr, 10);
        if (req.has_header("Last-Event-ID")) after = strtoull(req.get_header_value("Last-Event-ID").c_str(), nullptr, 10);
        std::shared_ptr<Subscription> page = feed_.Subscribe(after);
        if (!page) {
            return Text(res, 503,
                        fmt::format("{} pages are open already: close one of them first.", feed_.limits().maxPages));
        }
        res.set_header("Content-Security-Policy", kDataPolicy);
        res.set_header("X-Accel-Buffering", "no");
        struct State {
            bool greeted = false;
            std::chrono::steady_clock::time_point lastWrite{};
            std::vector<EventPtr> batch;
            std::string message;
        };
        auto state = std::make_shared<State>();
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, page, state](size_t, httplib::DataSink& sink) {
                if (!state->greeted) {
                    state->greeted = true;
                    state->lastWrite = std::chrono::steady_clock::now();
                    std::string hello = fmt::format("retry: 2000\nevent: hello\ndata: {{\"lastId\":{}}}\n\n",
                                                    feed_.counts().lastId);
                    return sink.write(hello.data(), hello.size());
                }
                std::this_thread::sleep_until(state->lastWrite + kStreamPeriod);
                state->batch.clear();
                if (!page->Take(state->batch, std::chrono::milliseconds(500))) {
                    sink.done();  // the server stops
                    return true;
                }
                const auto now = std::chrono::steady_clock::now();
                std::string& m = state->message;
                m.clear();
                if (state->batch.empty()) {
                    if (now - state->lastWrite < kKeepAlive) return true;
                    m = ": keep-alive\n\n";
                } else {
                    m += fmt::format("id: {}\ndata: {{\"d\":{},\"e\":[", state->batch.back()->id, page->dropped());
                    for (size_t i = 0; i < state->batch.size(); ++i) {
                        if (i) m.push_back(',');
                        m += state->batch[i]->json;
                    }
                    m += "]}\n\n";
                }
                state->lastWrite = now;
                return sink.write(m.data(), m.size());
            },
            [this, page](bool) { feed_.Unsubscribe(page); });
    });
}

}  // namespace evtrace::view
