#pragma once

#include <cstddef>
#include <memory>
#include <string>

// The browser clock: an HTTP server that gives any browser on the network the
// clock page ("/", with its style sheet and script) and, on "/socket", a
// WebSocket that carries the clock's state to the page as it changes.
//
// It is read-only. It answers GET for those four paths and nothing else:
// other paths are 404, other methods 405. It serves no file by name (the page
// and its assets are read from the resources once, at start), touches no
// setting and has no bridge. A client that sends anything on its WebSocket is
// disconnected; more than `maxClients` clients are refused with 503.
//
// Each client gets the latest state only: one that reads slowly skips states,
// so nothing queues up for it beyond what the kernel holds for its socket.
//
// The server runs on a thread of its own, so that neither clients nor their
// number can delay the main thread (the clock window) or capture.
//
// Thread contract: start(), publish() and the destructor on one thread (the
// main thread, in the program); clientCount() from any.
class WebClockServer {
public:
    static constexpr std::size_t kMaxClients = 500;

    /// Listens on `port` of every local address (0: a free port). None, with
    /// the reason in `error`, when the port is taken or the page's files cannot
    /// be read.
    static std::unique_ptr<WebClockServer> start(int port, std::string& error,
                                                 std::size_t maxClients = kMaxClients);
    ~WebClockServer();

    WebClockServer(const WebClockServer&) = delete;
    WebClockServer& operator=(const WebClockServer&) = delete;

    /// The clock's state as a JSON object's text: what every client gets next.
    void publish(std::string state);

    /// The port listened on.
    int port() const;
    std::size_t clientCount() const;

    class Loop;

private:
    explicit WebClockServer(std::unique_ptr<Loop> loop);
    std::unique_ptr<Loop> loop_;
};
