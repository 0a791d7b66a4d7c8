// The browser clock's server in this process, with libsoup's WebSocket client and, where that
// client would tidy a request up or read too eagerly, plain sockets.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libsoup/soup.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "clock/WebClockServer.h"
#include "tests/platform/MainLoop.h"

using namespace std::chrono_literals;

namespace {

// A connection that sends exactly what it is given and reads only when asked; a read waits
// five seconds at most for each block.
class Raw {
public:
    explicit Raw(int port, int window = 0) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        if (window > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        const timeval patience{.tv_sec = 5, .tv_usec = 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        sockaddr_in to{};
        to.sin_family = AF_INET, to.sin_port = htons(uint16_t(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    ~Raw() { close(fd_); }

    void send(const std::string& text) { ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }
    /// What arrives until `until` has (or, with none, the server closes or stops sending).
    std::string receive(const std::string& until = "") {
        std::string text;
        char block[65536];
        for (ssize_t got = 0; (until.empty() || text.find(until) == text.npos) &&
                              (got = recv(fd_, block, sizeof block, 0)) > 0;)
            text.append(block, size_t(got));
        return text;
    }

private:
    int fd_;
};

std::string ask(int port, const std::string& method, const std::string& path) {
    Raw raw(port);
    raw.send(method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    return raw.receive();
}

int statusOf(const std::string& response) {
    return response.starts_with("HTTP/1.") ? std::atoi(response.c_str() + 9) : 0;
}

const std::string kUpgrade =
    "GET /socket HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// A page's WebSocket, on this thread's default main context: open or refused on return.
struct Client {
    Client(SoupSession* session, int port)
        : message(soup_message_new(
              "GET", ("ws://127.0.0.1:" + std::to_string(port) + "/socket").c_str())) {
        soup_session_websocket_connect_async(
            session, message, nullptr, nullptr, G_PRIORITY_DEFAULT, nullptr,
            [](GObject* session, GAsyncResult* result, gpointer self) {
                auto& c = *static_cast<Client*>(self);
                c.socket =
                    soup_session_websocket_connect_finish(SOUP_SESSION(session), result, nullptr);
                c.answered = true;
                if (c.socket == nullptr) return;
                const auto heard = +[](SoupWebsocketConnection*, gint, GBytes* text, Client* c) {
                    c->last.assign(static_cast<const char*>(g_bytes_get_data(text, nullptr)),
                                   g_bytes_get_size(text));
                    ++c->heard;
                };
                g_signal_connect(c.socket, "message", G_CALLBACK(heard), self);
            },
            this);
        runMainLoopUntil([&] { return answered; });
    }
    ~Client() {
        if (socket != nullptr) {
            g_signal_handlers_disconnect_by_data(socket, this);
            if (soup_websocket_connection_get_state(socket) == SOUP_WEBSOCKET_STATE_OPEN)
                soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
            g_object_unref(socket);
        }
        g_object_unref(message);
    }
    bool hears(const std::string& state, std::chrono::milliseconds limit = 10s) {
        return runMainLoopUntil([&] { return last == state; }, limit);
    }

    SoupMessage* message;
    SoupWebsocketConnection* socket = nullptr;
    bool answered = false;
    size_t heard = 0;
    std::string last;
};

std::string state(int n, size_t padding = 0) {
    return R"({"n":)" + std::to_string(n) + R"(,"pad":")" + std::string(padding, 'x') + "\"}";
}

class WebClockServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        server_ = WebClockServer::start(0, error, 3);
        ASSERT_NE(server_, nullptr) << error;
        port_ = server_->port();
    }
    void TearDown() override { g_object_unref(session_); }

    bool clientsAre(size_t count) {
        return runMainLoopUntil([&] { return server_->clientCount() == count; });
    }

    // No proxy: this is loopback, and the resolver would run a thread of its own.
    SoupSession* session_ = soup_session_new_with_options("proxy-resolver", nullptr, nullptr);
    std::unique_ptr<WebClockServer> server_;
    int port_ = 0;
};

TEST_F(WebClockServerTest, AnswersGetForThePageAndItsAssetsOnly) {
    std::string error;
    EXPECT_EQ(WebClockServer::start(port_, error), nullptr) << "the port is this server's";
    EXPECT_FALSE(error.empty());
    for (const auto& [path, type] : {std::pair{"/", "text/html"},
                                     {"/clock.css", "text/css"},
                                     {"/clockface.js", "text/javascript"}}) {
        const std::string response = ask(port_, "GET", path);
        EXPECT_EQ(statusOf(response), 200) << path;
        EXPECT_NE(response.find("\r\nContent-Type: " + std::string(type) + "; charset=utf-8\r\n"),
                  response.npos)
            << response.substr(0, 300);
    }
    // Nothing is served by name, even a file that exists beside the page.
    for (const char* path : {"/../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/index.html",
                             "/webclock.html", "/favicon.ico", "//", "/clock.css/"})
        EXPECT_EQ(statusOf(ask(port_, "GET", path)), 404) << path;
    for (const char* method : {"POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH"}) {
        for (const char* path : {"/", "/socket"}) {
            const std::string response = ask(port_, method, path);
            EXPECT_EQ(statusOf(response), 405) << method << " " << path;
            EXPECT_NE(response.find("\r\nAllow: GET\r\n"), response.npos) << response;
        }
    }
    // The socket's path alone: no path below or beside it is a socket, or anything else.
    for (const char* path : {"/socket/x", "/socketx"}) {
        EXPECT_EQ(statusOf(ask(port_, "GET", path)), 404) << path;
        Raw raw(port_);
        std::string upgrade = kUpgrade;
        raw.send(upgrade.replace(4, 7, path));
        EXPECT_EQ(statusOf(raw.receive("\r\n\r\n")), 404) << path;
    }
}

// Every client gets the latest state, then each one while it keeps up; one that says anything
// is closed, and the others go on.
TEST_F(WebClockServerTest, ClientsGetTheLatestStateThenEachOneAndMustNotSpeak) {
    Client early(session_, port_);
    server_->publish(state(1));
    server_->publish(state(2));
    ASSERT_TRUE(early.hears(state(2)));
    Client late(session_, port_), talker(session_, port_);
    ASSERT_TRUE(late.hears(state(2)));
    const size_t before = early.heard;
    for (int n = 3; n <= 30; ++n) {
        server_->publish(state(n));
        ASSERT_TRUE(early.hears(state(n)) && late.hears(state(n))) << n;
    }
    EXPECT_EQ(late.heard, 29U) << "the latest once, then each";
    EXPECT_EQ(early.heard, before + 28);

    soup_websocket_connection_send_text(talker.socket, "set TextColor red");
    EXPECT_TRUE(runMainLoopUntil([&] {
        return soup_websocket_connection_get_state(talker.socket) == SOUP_WEBSOCKET_STATE_CLOSED;
    }));
    EXPECT_EQ(soup_websocket_connection_get_close_code(talker.socket),
              SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION);
    EXPECT_TRUE(clientsAre(2));
    server_->publish(state(31));
    EXPECT_TRUE(early.hears(state(31)) && late.hears(state(31)));
}

TEST_F(WebClockServerTest, ClientsBeyondTheLimitAreRefusedUntilOneLeaves) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(std::make_unique<Client>(session_, port_));
    ASSERT_TRUE(clientsAre(3));
    Client refused(session_, port_);
    EXPECT_EQ(refused.socket, nullptr);
    EXPECT_EQ(soup_message_get_status(refused.message), 503U);
    EXPECT_EQ(server_->clientCount(), 3U);
    clients.pop_back();
    ASSERT_TRUE(clientsAre(2));
    Client admitted(session_, port_);
    EXPECT_NE(admitted.socket, nullptr);
    EXPECT_TRUE(clientsAre(3));
}

// Clients that stop reading, with a small window so that it fills at once, while states come
// as fast as the server sends them: nothing piles up for them, and they hold up neither the
// others nor the end. One that reads again gets only what the kernel held, then the latest.
TEST_F(WebClockServerTest, ClientsThatStopReadingSkipStatesAndHoldUpNothing) {
    Client reader(session_, port_);
    Raw stalled(port_, 4096), resumed(port_, 4096);
    for (Raw* raw : {&stalled, &resumed}) {
        raw->send(kUpgrade);
        ASSERT_EQ(statusOf(raw->receive("\r\n\r\n")), 101);
    }
    ASSERT_TRUE(clientsAre(3));
    const auto resident = [] {  // kB
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line) && !line.starts_with("VmRSS:")) {
        }
        return std::atol(line.c_str() + 6);
    };
    [[maybe_unused]] const long before = resident();
    const int last = 20000;
    for (int n = 1; n <= last; ++n) {
        server_->publish(state(n, 180));
        // Time to send most of them, and for the reader to read them.
        std::this_thread::sleep_for(20us);
        g_main_context_iteration(nullptr, FALSE);
    }
    EXPECT_TRUE(reader.hears(state(last, 180), 1s)) << "not within a second";
    EXPECT_GT(reader.heard, size_t(last / 20)) << "the reader was offered few states";
// Not with a sanitizer, which keeps what is freed for a while or shadows what is used.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(resident() - before, 20 * 1024);
#endif

    const std::string got = resumed.receive(state(last, 180));
    EXPECT_NE(got.find(state(last, 180)), got.npos);
    EXPECT_LT(got.size(), 256U * 1024) << "states queued up for a client that did not read";

    EXPECT_EQ(server_->clientCount(), 3U);
    const auto stopping = std::chrono::steady_clock::now();
    server_.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
}

// Requests no browser sends, and connections that stop half-way, leave others answered.
TEST_F(WebClockServerTest, HostileConnectionsLeaveOthersAnswered) {
    const std::string big(100 * 1024, 'a');
    Raw halfOpen(port_), silent(port_);
    halfOpen.send("GET / HTTP/1.1\r\nHost: x\r\nUpgrade: web");
    for (const std::string& hostile :
         {"GET /" + big + " HTTP/1.1\r\nHost: x\r\n\r\n",
          "GET / HTTP/1.1\r\nHost: x\r\nX-" + big + ": 1\r\n\r\n",
          std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\0\r\n\r\n", 16)}) {
        Raw raw(port_);
        raw.send(hostile);
        const std::string response = raw.receive("\r\n\r\n");
        EXPECT_TRUE(response.empty() || statusOf(response) >= 400) << response.substr(0, 100);
    }
    EXPECT_EQ(statusOf(ask(port_, "GET", "/")), 200);
}

}  // namespace
