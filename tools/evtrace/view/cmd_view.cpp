// evtrace view: the session's events live in a browser page. A small HTTP
// server on 127.0.0.1 (by default) serves one page, shipped inside this
// program, and streams the decoded events of the session to it; the page
// filters them, shows alerts with their help and hints, the alert history
// and the session's health, and downloads what it shows as a binary event
// log or a comma-separated log written by the library.
//
// Exit codes: 0 stopped by Ctrl-C or SIGTERM; 1 the viewer could not start
// (library, port in use); 2 bad command line; 6 access to the session denied.
#include <TraceApi.h>
#include <arpa/inet.h>
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <fmt/format.h>

#include "command.h"
#include "view/view_checks.h"
#include "view/view_feed.h"
#include "view/view_server.h"
#include "view/view_source.h"

extern char** environ;

namespace evtrace {
namespace {

struct Options {
    int port = 8470;
    std::string bind = "127.0.0.1";
    bool open = false;
    bool noEnable = false;
    size_t keep = 20000;
    size_t pageBuffer = 20000;
};

bool IsLoopback(const std::string& address) {
    unsigned char v4[4];
    if (inet_pton(AF_INET, address.c_str(), v4) == 1) return v4[0] == 127;
    return address == "::1" || address == "localhost";
}

void CheckAddress(const std::string& address) {
    unsigned char bytes[16];
    if (address == "localhost" || inet_pton(AF_INET, address.c_str(), bytes) == 1 ||
        inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
        return;
    }
    throw CommandError{fmt::format("--bind {}: not an address; give an IPv4 or IPv6 address such as 127.0.0.1", address),
                       2};
}

// Starts the desktop's browser on the address; says so when it cannot.
void OpenBrowser(const std::string& url) {
    const char* argv[] = {"xdg-open", url.c_str(), nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, "xdg-open", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        fprintf(stderr, "evtrace view: no browser could be started (xdg-open is missing): open the address yourself\n");
        return;
    }
    // Reaped here so it leaves no zombie; xdg-open returns once the browser runs.
    std::thread([child] {
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            fprintf(stderr, "evtrace view: the browser could not be started by xdg-open: open the address yourself\n");
    }).detach();
}

struct TempFolder {
    std::string path;
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "evtrace-view-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw CommandError{fmt::format("cannot make a private folder for downloads in {}: {}; set TMPDIR to a "
                                           "writable folder",
                                           std::filesystem::temp_directory_path().string(), strerror(errno))};
        path = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

void Run(const Options& options) {
    if (options.port < 0 || options.port > 65535) throw CommandError{"--port is a number from 0 to 65535", 2};
    CheckAddress(options.bind);
    if (options.keep < 100 || options.keep > 1000000) throw CommandError{"--keep is a number from 100 to 1000000", 2};
    if (options.pageBuffer < 100 || options.pageBuffer > 1000000)
        throw CommandError{"--page-buffer is a number from 100 to 1000000", 2};

    // Signals are taken by one thread that stops the server; every other
    // thread (the library's too) inherits the mask made here.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    TempFolder downloads;
    view::FeedLimits limits;
    limits.keepEvents = options.keep;
    limits.pageQueue = options.pageBuffer;
    view::Feed feed(limits);
    view::Source source(feed);
    view::ServerOptions serverOptions;
    serverOptions.bind = options.bind;
    serverOptions.port = options.port;
    serverOptions.token = view::NewToken();
    serverOptions.downloadFolder = downloads.path;
    view::Server server(feed, source, serverOptions);
    server.Bind();
    source.Start(!options.noEnable);

    const std::string url = server.Url();
    printf("evtrace view: the events of \"%s\" at\n%s\n", EVT_SESSION_NAME, url.c_str());
    fflush(stdout);
    fprintf(stderr, "Open that address in a browser; it holds the access token, so keep it to yourself.%s\n"
                    "Ctrl-C stops the viewer.\n",
            IsLoopback(options.bind) ? ""
                                     : "\nWarning: the viewer is reachable from other machines, unencrypted.");
    if (options.open) OpenBrowser(url);

    std::atomic<bool> served{false};
    std::thread stopper([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        // A stop that comes before the server runs would be lost: ask until
        // Run has returned.
        while (!served) {
            server.Stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    server.Run();
    served = true;
    // Run also ends when the listening socket fails; the stopper then still
    // waits for its signal: send it one.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    source.Stop();
    const auto counts = feed.counts();
    fprintf(stderr, "evtrace view: stopped after %llu events\n", static_cast<unsigned long long>(counts.received));
}

void setup(CLI::App& app) {
    auto options = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand("view", "Show the session's events live in a browser page (a local web server)");
    cmd->add_option("--port", options->port, "Port to listen on (0: any free port)")->capture_default_str();
    cmd->add_option("--bind", options->bind, "Address to listen on; other than 127.0.0.1 the page is reachable from "
                                             "other machines (the token still guards it)")
        ->capture_default_str();
    cmd->add_flag("--open", options->open, "Open the page in the desktop's browser (xdg-open)");
    cmd->add_flag("--no-enable", options->noEnable, "Do not start and enable the session, only listen");
    cmd->add_option("--keep", options->keep, "Events kept for new pages and downloads (100 to 1000000)")
        ->capture_default_str();
    cmd->add_option("--page-buffer", options->pageBuffer,
                    "Events waiting for a slow page before its oldest are dropped (and counted; 100 to 1000000)")
        ->capture_default_str();
    cmd->footer("Exit codes: 0 stopped (Ctrl-C, SIGTERM); 1 could not start (library, port); 2 bad command line; "
                "6 access to the session denied.");
    cmd->callback([options] { Run(*options); });
}

const CommandRegistrar registrar("31-view", &setup);

}  // namespace
}  // namespace evtrace
