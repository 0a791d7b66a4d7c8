#include "platform/AvahiClientConnection.h"

#include <avahi-common/error.h>
#include <avahi-glib/glib-watch.h>
#include <glib.h>

#include <algorithm>

#include "platform/CallbackGuard.h"
#include "platform/Log.h"

AvahiClientConnection::AvahiClientConnection(std::chrono::milliseconds retryInterval)
    : retryInterval_(retryInterval) {}

AvahiClientConnection::~AvahiClientConnection() {
    if (connectSource_ != 0) g_source_remove(connectSource_);
    if (client_ != nullptr) avahi_client_free(client_);
    if (poll_ != nullptr) avahi_glib_poll_free(poll_);
}

void AvahiClientConnection::attach(User* user) {
    if (!isAttached(user)) users_.push_back(user);
    if (poll_ == nullptr) {
        poll_ = avahi_glib_poll_new(nullptr, G_PRIORITY_DEFAULT);
        connect();
    } else if (running_) {
        user->avahiClientRunning(client_);
    }
}

void AvahiClientConnection::detach(User* user) {
    users_.erase(std::remove(users_.begin(), users_.end(), user), users_.end());
}

bool AvahiClientConnection::isAttached(const User* user) const {
    return std::find(users_.begin(), users_.end(), user) != users_.end();
}

// Users attach and detach from within these calls, so each is called from a
// snapshot and only while it is still attached.
template <typename Call>
void AvahiClientConnection::tellUsers(Call call) {
    const std::vector<User*> snapshot = users_;
    for (User* user : snapshot)
        if (isAttached(user)) call(*user);
}

void AvahiClientConnection::connect() {
    int error = 0;
    // NO_FAIL: with a bus but no daemon the client waits in CONNECTING and
    // runs by itself once a daemon registers. The state callback may already
    // run inside this call.
    AvahiClient* made = avahi_client_new(avahi_glib_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                                         &AvahiClientConnection::stateTrampoline, this, &error);
    if (made == nullptr) {
        // Not even a bus: Avahi cannot watch for the daemon, so we look again later.
        client_ = nullptr;
        running_ = false;
        noteOutage(error);
        scheduleConnect(retryInterval_);
        return;
    }
    client_ = made;
}

void AvahiClientConnection::stateTrampoline(AvahiClient* client, AvahiClientState state,
                                            void* self) {
    runGuarded("DNS-SD client state change",
               [&] { static_cast<AvahiClientConnection*>(self)->stateChanged(client, state); });
}

// The one place where the client's states and errors become Mirel's outcome:
// run, wait, or start over, with a log line per outage.
void AvahiClientConnection::stateChanged(AvahiClient* client, AvahiClientState state) {
    client_ = client;
    switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            running_ = true;
            if (inOutage_) Log::line("DNS-SD daemon available: publishing and browsing");
            inOutage_ = false;
            tellUsers([client](User& user) { user.avahiClientRunning(client); });
            break;
        case AVAHI_CLIENT_S_REGISTERING:
        case AVAHI_CLIENT_S_COLLISION:
            if (!running_) break;
            running_ = false;
            tellUsers([](User& user) { user.avahiClientSuspended(); });
            break;
        case AVAHI_CLIENT_CONNECTING:
            running_ = false;
            noteOutage(AVAHI_ERR_NO_DAEMON);
            break;
        case AVAHI_CLIENT_FAILURE:
            // The daemon or the bus went away. Avahi reports nothing more on
            // this client, not even the removal of what it had found; a new
            // client waits for the daemon to come back.
            running_ = false;
            noteOutage(avahi_client_errno(client));
            tellUsers([](User& user) { user.avahiClientLost(); });
            // Not freed here: we are inside the client's own callback.
            scheduleConnect(std::chrono::milliseconds(0));
            break;
    }
}

void AvahiClientConnection::noteOutage(int error) {
    if (inOutage_) return;
    inOutage_ = true;
    Log::line("DNS-SD not available (%s): not publishing or browsing until the daemon appears",
              avahi_strerror(error));
}

void AvahiClientConnection::scheduleConnect(std::chrono::milliseconds delay) {
    if (connectSource_ != 0) g_source_remove(connectSource_);
    connectSource_ = g_timeout_add_full(G_PRIORITY_DEFAULT, guint(delay.count()),
                                        &AvahiClientConnection::connectTrampoline, this, nullptr);
}

int AvahiClientConnection::connectTrampoline(void* self) {
    auto* connection = static_cast<AvahiClientConnection*>(self);
    connection->connectSource_ = 0;
    runGuarded("DNS-SD connection", [connection] {
        if (connection->client_ != nullptr) {
            avahi_client_free(connection->client_);
            connection->client_ = nullptr;
        }
        connection->connect();
    });
    return G_SOURCE_REMOVE;
}
