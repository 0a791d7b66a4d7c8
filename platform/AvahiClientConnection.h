#pragma once

#include <avahi-client/client.h>

#include <chrono>
#include <string>
#include <vector>

typedef struct AvahiGLibPoll AvahiGLibPoll;

// The process's one Avahi client, shared by everything that publishes, browses
// or resolves. It connects on first use and then keeps itself connected:
// without a daemon it waits for one (a bus without a daemon is watched by
// Avahi itself; without even a bus it tries again on a timer), and when the
// daemon goes away it drops the client and makes a new one that waits for the
// daemon's return. Each outage is logged once, however long it lasts.
//
// Thread contract: main thread only, the thread that runs the GLib default
// main context; every call to a User comes from that loop.
class AvahiClientConnection {
public:
    /// Whatever makes objects on the client: entry groups, browsers, resolvers.
    class User {
    public:
        virtual ~User() = default;
        /// The daemon is running: make what is missing on `client`. Called at
        /// every (re)connection, and at attach() when the client already runs.
        virtual void avahiClientRunning(AvahiClient* client) = 0;
        /// The daemon is (re)registering its host name; published records
        /// must be withdrawn until the next avahiClientRunning().
        virtual void avahiClientSuspended() {}
        /// The client is going, and everything made on it goes with it: forget
        /// those objects without freeing them.
        virtual void avahiClientLost() = 0;
    };

    /// `retryInterval`: how long to wait before trying again when not even a
    /// bus can be reached.
    explicit AvahiClientConnection(std::chrono::milliseconds retryInterval);
    ~AvahiClientConnection();

    AvahiClientConnection(const AvahiClientConnection&) = delete;
    AvahiClientConnection& operator=(const AvahiClientConnection&) = delete;

    /// Starts the client on first use. Attaching again is harmless and, when
    /// the client runs, calls avahiClientRunning() once more. A user may
    /// attach and detach from within its own callbacks.
    void attach(User* user);
    void detach(User* user);

private:
    static void stateTrampoline(AvahiClient* client, AvahiClientState state, void* self);
    static int connectTrampoline(void* self);

    void connect();
    void stateChanged(AvahiClient* client, AvahiClientState state);
    void scheduleConnect(std::chrono::milliseconds delay);
    void noteOutage(int error);
    bool isAttached(const User* user) const;
    template <typename Call>
    void tellUsers(Call call);

    std::chrono::milliseconds retryInterval_;
    AvahiGLibPoll* poll_ = nullptr;  ///< made with the first client
    AvahiClient* client_ = nullptr;  ///< null between a failure and the next attempt
    bool running_ = false;           ///< the daemon's state is RUNNING
    bool inOutage_ = false;          ///< the outage has been logged
    unsigned connectSource_ = 0;     ///< pending (re)connection on the main loop
    std::vector<User*> users_;
};

/// Our callers write types the DNS way, "_mirel._udp."; Avahi wants no final dot.
inline std::string withoutFinalDot(const std::string& text) {
    if (text.size() > 1 && text.back() == '.') return text.substr(0, text.size() - 1);
    return text;
}

/// Avahi's default domains are asked for with a null domain.
inline const char* domainOrDefault(const std::string& domain) {
    return domain.empty() ? nullptr : domain.c_str();
}
