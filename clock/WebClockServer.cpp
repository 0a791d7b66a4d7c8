#include "clock/WebClockServer.h"

#include <libsoup/soup.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <future>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/Resources.h"

namespace {

constexpr const char* kSocketPath = "/socket";

// A client whose socket holds this much that the kernel has not yet sent
// (some seconds of states) is reading slowly: it gets no more until it drains.
constexpr int kMostUnsent = 4096;

// A client never needs to say anything; what it could say is kept small.
constexpr guint64 kLargestIncoming = 128;

constexpr guint kRetryMs = 100;  // how soon a client that was skipped is tried again

// A client whose socket was found empty is asked again only every few
// states: the question costs as much as the send. One that falls behind
// meanwhile has at most that many states more in its socket.
constexpr int kStatesBetweenChecks = 8;

// Connections beyond the clients: pages and assets being fetched, requests
// being refused. Past that, a connection is closed as it arrives.
constexpr std::size_t kMoreConnections = 100;

constexpr int kBacklog = 128;

constexpr gushort kTryAgainLater = 1013;  // a WebSocket close code libsoup does not name

struct Asset {
    std::string_view path;
    std::string_view file;  ///< in the resources' html/
    std::string_view type;
};

constexpr Asset kAssets[] = {
    {"/", "webclock.html", "text/html; charset=utf-8"},
    {"/clock.css", "mirel45t.css", "text/css; charset=utf-8"},
    {"/clockface.js", "clockface.js", "text/javascript; charset=utf-8"},
};

}  // namespace

class WebClockServer::Loop {
public:
    Loop(std::size_t maxClients, std::vector<GBytes*> assets)
        : maxClients_(maxClients), assets_(std::move(assets)) {}

    ~Loop() {
        if (thread_.joinable()) {
            g_main_context_invoke(
                context_,
                +[](gpointer loop) -> gboolean {
                    g_main_loop_quit(static_cast<Loop*>(loop)->mainLoop_);
                    return G_SOURCE_REMOVE;
                },
                this);
            thread_.join();
        }
        for (GBytes* asset : assets_) g_bytes_unref(asset);
        g_main_context_unref(context_);
    }

    // Binds on the server's thread, where the server lives; "" once it listens.
    std::string run(int port) {
        std::promise<std::string> bound;
        std::future<std::string> result = bound.get_future();
        // The thread owns the promise: it may still be inside set_value when get returns.
        thread_ = std::thread(
            [this, port, promise = std::move(bound)]() mutable { serve(port, promise); });
        std::string error = result.get();
        if (!error.empty()) {
            thread_.join();
        }
        return error;
    }

    void publish(std::string state) {
        {
            const std::lock_guard<std::mutex> hold(latestMutex_);
            latest_ = std::move(state);
            ++latestSerial_;
        }
        // One wake-up at a time: states that arrive before it runs go with it.
        if (!wakePending_.exchange(true)) {
            g_main_context_invoke(
                context_,
                +[](gpointer loop) -> gboolean {
                    auto* self = static_cast<Loop*>(loop);
                    self->wakePending_ = false;
                    self->sendLatest();
                    return G_SOURCE_REMOVE;
                },
                this);
        }
    }

    int port() const { return port_; }
    std::size_t clientCount() const { return clientCount_; }

private:
    struct Client {
        SoupWebsocketConnection* connection;
        GSocket* socket;  ///< for what it holds unsent
        std::uint64_t sentSerial;
        int statesSinceCheck = 0;
        bool drained = false;  ///< its socket was empty when last asked
    };

    void serve(int port, std::promise<std::string>& bound) {
        g_main_context_push_thread_default(context_);
        mainLoop_ = g_main_loop_new(context_, FALSE);
        server_ = SOUP_SERVER(g_object_new(SOUP_TYPE_SERVER, "server-header", "Mirel", nullptr));
        // The socket's path has a handler of its own, which the default one does not cover.
        soup_server_add_early_handler(server_, nullptr, &Loop::screen, this, nullptr);
        soup_server_add_early_handler(server_, kSocketPath, &Loop::screen, this, nullptr);
        soup_server_add_handler(server_, nullptr, &Loop::answer, this, nullptr);
        soup_server_add_websocket_handler(server_, kSocketPath, nullptr, nullptr, &Loop::accept,
                                          this, nullptr);
        // Mirel accepts the connections itself and hands them to the server, so
        // that a flood of connections that never finish a request cannot take
        // every file descriptor of the process.
        service_ = g_socket_service_new();
        // Browsers open a few connections at once, and a room full of them at a restart.
        g_socket_listener_set_backlog(G_SOCKET_LISTENER(service_), kBacklog);
        GError* error = nullptr;
        guint16 listening = 0;
        if (port == 0) {
            listening =
                g_socket_listener_add_any_inet_port(G_SOCKET_LISTENER(service_), nullptr, &error);
        } else if (g_socket_listener_add_inet_port(G_SOCKET_LISTENER(service_), guint16(port),
                                                   nullptr, &error)) {
            listening = guint16(port);
        }
        if (listening == 0) {
            const std::string reason = error != nullptr ? error->message : "";
            g_clear_error(&error);
            finish();
            bound.set_value(reason.empty() ? "cannot listen" : reason);
            return;
        }
        g_signal_connect(service_, "incoming", G_CALLBACK(&Loop::incoming), this);
        g_socket_service_start(service_);
        port_ = listening;
        bound.set_value("");

        g_main_loop_run(mainLoop_);
        for (Client& client : clients_) release(client, this);
        clients_.clear();
        clientCount_ = 0;
        finish();
    }

    void finish() {
        if (service_ != nullptr) {
            g_socket_service_stop(service_);
            g_socket_listener_close(G_SOCKET_LISTENER(service_));
            g_object_unref(service_);
        }
        if (retrySource_ != nullptr) {
            g_source_destroy(retrySource_);
            g_source_unref(retrySource_);
            retrySource_ = nullptr;
        }
        soup_server_disconnect(server_);
        g_object_unref(server_);
        g_main_loop_unref(mainLoop_);
        // Sources the server left behind (connections closing) go with the context.
        while (g_main_context_iteration(context_, FALSE)) {
        }
        // A connection that outlives the server must not count itself out later.
        for (GSocketConnection* connection : connections_) {
            g_object_weak_unref(G_OBJECT(connection), &Loop::connectionGone, this);
        }
        connections_.clear();
        g_main_context_pop_thread_default(context_);
    }

    static gboolean incoming(GSocketService*, GSocketConnection* connection, GObject*,
                             gpointer self) {
        auto& loop = *static_cast<Loop*>(self);
        if (loop.connections_.size() >= loop.maxClients_ + kMoreConnections) {
            g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
            return TRUE;
        }
        GSocketAddress* local = g_socket_connection_get_local_address(connection, nullptr);
        GSocketAddress* remote = g_socket_connection_get_remote_address(connection, nullptr);
        // Known before the server reads it: a request already waiting is answered
        // inside the call, a WebSocket's included.
        loop.connections_.insert(connection);
        g_object_weak_ref(G_OBJECT(connection), &Loop::connectionGone, self);
        if (!soup_server_accept_iostream(loop.server_, G_IO_STREAM(connection), local, remote,
                                         nullptr)) {
            g_object_weak_unref(G_OBJECT(connection), &Loop::connectionGone, self);
            loop.connections_.erase(connection);
        }
        if (local != nullptr) g_object_unref(local);
        if (remote != nullptr) g_object_unref(remote);
        return TRUE;
    }

    static void connectionGone(gpointer self, GObject* connection) {
        static_cast<Loop*>(self)->connections_.erase(
            reinterpret_cast<GSocketConnection*>(connection));
    }

    // Before a request's body: only GET, and no more clients than allowed.
    static void screen(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                       gpointer self) {
        auto& loop = *static_cast<Loop*>(self);
        if (std::string_view(soup_server_message_get_method(message)) != SOUP_METHOD_GET) {
            soup_message_headers_replace(soup_server_message_get_response_headers(message), "Allow",
                                         "GET");
            soup_server_message_set_status(message, SOUP_STATUS_METHOD_NOT_ALLOWED, nullptr);
        } else if (std::string_view(path) != kSocketPath &&
                   std::string_view(path).starts_with(kSocketPath)) {
            // libsoup finds the socket's handler by prefix: its path alone is the socket.
            soup_server_message_set_status(message, SOUP_STATUS_NOT_FOUND, nullptr);
        } else if (std::string_view(path) == kSocketPath &&
                   loop.clients_.size() >= loop.maxClients_) {
            soup_server_message_set_status(message, SOUP_STATUS_SERVICE_UNAVAILABLE, nullptr);
        }
    }

    static void answer(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                       gpointer self) {
        auto& loop = *static_cast<Loop*>(self);
        if (soup_server_message_get_status(message) != 0) return;  // screened
        SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
        soup_message_headers_replace(headers, "X-Content-Type-Options", "nosniff");
        soup_message_headers_replace(headers, "Cache-Control", "no-cache");
        for (std::size_t i = 0; i < std::size(kAssets); ++i) {
            if (kAssets[i].path == path) {
                gsize size = 0;
                const void* data = g_bytes_get_data(loop.assets_[i], &size);
                soup_server_message_set_response(message, kAssets[i].type.data(), SOUP_MEMORY_COPY,
                                                 static_cast<const char*>(data), size);
                soup_server_message_set_status(message, SOUP_STATUS_OK, nullptr);
                return;
            }
        }
        soup_server_message_set_status(message, SOUP_STATUS_NOT_FOUND, nullptr);
    }

    static void accept(SoupServer*, SoupServerMessage* message, const char*,
                       SoupWebsocketConnection* connection, gpointer self) {
        auto& loop = *static_cast<Loop*>(self);
        if (loop.clients_.size() >= loop.maxClients_) {
            soup_websocket_connection_close(connection, kTryAgainLater, "too many clients");
            return;
        }
        soup_websocket_connection_set_max_incoming_payload_size(connection, kLargestIncoming);
        soup_websocket_connection_set_keepalive_interval(connection, 10);
        // Without its socket a client's backlog could not be seen, and would grow.
        GSocket* socket = loop.socketOf(message);
        if (socket == nullptr) {
            soup_websocket_connection_close(connection, SOUP_WEBSOCKET_CLOSE_SERVER_ERROR,
                                            "cannot follow this connection");
            return;
        }
        loop.clients_.push_back(Client{SOUP_WEBSOCKET_CONNECTION(g_object_ref(connection)),
                                       G_SOCKET(g_object_ref(socket)), 0, 0, false});
        loop.clientCount_ = loop.clients_.size();
        g_signal_connect(connection, "message", G_CALLBACK(&Loop::spoke), self);
        g_signal_connect(connection, "closed", G_CALLBACK(&Loop::closed), self);
        loop.sendLatest();
    }

    // The socket of the connection a request came on. libsoup keeps the stream
    // it was handed to itself, but the peer's address names the connection.
    GSocket* socketOf(SoupServerMessage* message) const {
        auto* peer = G_INET_SOCKET_ADDRESS(soup_server_message_get_remote_address(message));
        if (peer == nullptr) return nullptr;
        for (GSocketConnection* connection : connections_) {
            GSocketAddress* address = g_socket_connection_get_remote_address(connection, nullptr);
            const bool same = G_IS_INET_SOCKET_ADDRESS(address) &&
                              g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(address)) ==
                                  g_inet_socket_address_get_port(peer) &&
                              g_inet_address_equal(
                                  g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(address)),
                                  g_inet_socket_address_get_address(peer));
            if (address != nullptr) g_object_unref(address);
            if (same) return g_socket_connection_get_socket(connection);
        }
        return nullptr;
    }

    // The clock is read-only: a client that writes is not one of its pages.
    static void spoke(SoupWebsocketConnection* connection, gint, GBytes*, gpointer) {
        soup_websocket_connection_close(connection, SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION,
                                        "this clock is read-only");
    }

    static void closed(SoupWebsocketConnection* connection, gpointer self) {
        auto& loop = *static_cast<Loop*>(self);
        const auto gone = std::ranges::find(loop.clients_, connection, &Client::connection);
        if (gone == loop.clients_.end()) return;
        Client client = *gone;
        loop.clients_.erase(gone);
        loop.clientCount_ = loop.clients_.size();
        release(client, self);
    }

    static void release(Client& client, gpointer self) {
        g_signal_handlers_disconnect_by_data(client.connection, self);
        if (soup_websocket_connection_get_state(client.connection) == SOUP_WEBSOCKET_STATE_OPEN) {
            soup_websocket_connection_close(client.connection, SOUP_WEBSOCKET_CLOSE_GOING_AWAY,
                                            nullptr);
        }
        g_object_unref(client.connection);
        g_object_unref(client.socket);
    }

    // Whether a client has taken what it was sent, near enough.
    static bool keepsUp(Client& client) {
        if (client.drained && ++client.statesSinceCheck < kStatesBetweenChecks) return true;
        client.statesSinceCheck = 0;
        int unsent = 0;
        if (ioctl(g_socket_get_fd(client.socket), SIOCOUTQ, &unsent) != 0) return true;
        client.drained = unsent == 0;
        return unsent < kMostUnsent;
    }

    void sendLatest() {
        std::string state;
        std::uint64_t serial = 0;
        {
            const std::lock_guard<std::mutex> hold(latestMutex_);
            state = latest_;
            serial = latestSerial_;
        }
        if (serial == 0) return;  // nothing to show yet
        bool skipped = false;
        for (Client& client : clients_) {
            if (client.sentSerial == serial ||
                soup_websocket_connection_get_state(client.connection) !=
                    SOUP_WEBSOCKET_STATE_OPEN) {
                continue;
            }
            if (!keepsUp(client)) {
                skipped = true;
                continue;
            }
            soup_websocket_connection_send_text(client.connection, state.c_str());
            client.sentSerial = serial;
        }
        // A client skipped gets the state once it has drained, new states or not.
        if (skipped && retrySource_ == nullptr) {
            retrySource_ = g_timeout_source_new(kRetryMs);
            g_source_set_callback(
                retrySource_,
                +[](gpointer loop) -> gboolean {
                    auto* self = static_cast<Loop*>(loop);
                    g_source_unref(self->retrySource_);
                    self->retrySource_ = nullptr;
                    self->sendLatest();
                    return G_SOURCE_REMOVE;
                },
                this, nullptr);
            g_source_attach(retrySource_, context_);
        }
    }

    const std::size_t maxClients_;
    std::vector<GBytes*> assets_;
    GMainContext* context_ = g_main_context_new();
    GMainLoop* mainLoop_ = nullptr;
    SoupServer* server_ = nullptr;
    GSocketService* service_ = nullptr;
    std::unordered_set<GSocketConnection*> connections_;  ///< accepted and not yet finished
    GSource* retrySource_ = nullptr;
    std::thread thread_;
    std::atomic<int> port_{0};
    std::atomic<std::size_t> clientCount_{0};
    std::vector<Client> clients_;  ///< the server thread's only

    std::mutex latestMutex_;
    std::string latest_;              ///< guarded by latestMutex_
    std::uint64_t latestSerial_ = 0;  ///< guarded by latestMutex_; 0: nothing published yet
    std::atomic<bool> wakePending_{false};
};

std::unique_ptr<WebClockServer> WebClockServer::start(int port, std::string& error,
                                                      std::size_t maxClients) {
    std::vector<GBytes*> assets;
    for (const Asset& asset : kAssets) {
        const std::string path = Resources::path("html/" + std::string(asset.file));
        gchar* contents = nullptr;
        gsize size = 0;
        if (!g_file_get_contents(path.c_str(), &contents, &size, nullptr)) {
            for (GBytes* read : assets) g_bytes_unref(read);
            error = "cannot read " + path;
            return nullptr;
        }
        assets.push_back(g_bytes_new_take(contents, size));
    }
    auto loop = std::make_unique<Loop>(maxClients, std::move(assets));
    error = loop->run(port);
    if (!error.empty()) return nullptr;
    return std::unique_ptr<WebClockServer>(new WebClockServer(std::move(loop)));
}

WebClockServer::WebClockServer(std::unique_ptr<Loop> loop) : loop_(std::move(loop)) {}

WebClockServer::~WebClockServer() = default;

void WebClockServer::publish(std::string state) {
    loop_->publish(std::move(state));
}

int WebClockServer::port() const {
    return loop_->port();
}

std::size_t WebClockServer::clientCount() const {
    return loop_->clientCount();
}
