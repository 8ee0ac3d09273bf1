#include "platform/avahi/service_registration.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <atomic>
#include <thread>

namespace zoranth {

namespace {

// A collision is settled by Avahi's next alternative name; a network that objects to
// this many in a row is not going to accept the next one either.
constexpr int maxCollisions = 64;

ServiceRegistration::Failure failure(ServiceRegistration::Failure::Case kind, int code) {
    return {kind, code, avahi_strerror(code)};
}

std::string alternativeName(const std::string& name) {
    char* next = avahi_alternative_service_name(name.c_str());
    if (next == nullptr) {
        return name + " #2";
    }
    std::string result(next);
    avahi_free(next);
    return result;
}

}  // namespace

// Everything here runs on the event thread (the threaded poll's helper thread, which
// holds the poll's lock while it dispatches), except start() before the thread runs
// and shutDown() after it has stopped.
struct ServiceRegistration::Core {
    explicit Core(Service wanted) : service(std::move(wanted)) {}

    std::weak_ptr<ServiceRegistration> owner;
    const Service service;
    AvahiThreadedPoll* poll = nullptr;
    const AvahiPoll* api = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    std::string name;  // the name being registered; empty until the client runs
    int collisions = 0;
    bool missingReported = false;
    std::atomic<std::thread::id> eventThread{};

    void schedule(AvahiTimeoutCallback callback) {
        timeval now{};
        avahi_elapse_time(&now, 0, 0);
        api->timeout_new(api, &now, callback, this);
    }

    static void begin(AvahiTimeout* timeout, void* userdata) {
        auto* core = static_cast<Core*>(userdata);
        core->api->timeout_free(timeout);
        core->eventThread.store(std::this_thread::get_id());
        core->connect();
    }

    // The daemon went away; a fresh client waits for it to come back.
    static void reconnect(AvahiTimeout* timeout, void* userdata) {
        auto* core = static_cast<Core*>(userdata);
        core->api->timeout_free(timeout);
        if (core->client != nullptr) {
            avahi_client_free(core->client);
        }
        core->client = nullptr;
        core->group = nullptr;
        core->connect();
    }

    void connect() {
        name.clear();
        collisions = 0;
        int error = AVAHI_OK;
        // NO_FAIL keeps the client alive without a daemon (state CONNECTING) so that the
        // service is registered as soon as one appears.
        AvahiClient* created =
            avahi_client_new(api, AVAHI_CLIENT_NO_FAIL, clientChanged, this, &error);
        if (created == nullptr) {
            group = nullptr;  // freed with the failed client
            reportMissing(error);
            return;
        }
        client = created;
    }

    static void clientChanged(AvahiClient* changed, AvahiClientState state, void* userdata) {
        auto* core = static_cast<Core*>(userdata);
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                core->registerService(changed);
                break;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                // The host name is changing; the service is added again once the server runs.
                if (core->group != nullptr) {
                    avahi_entry_group_reset(core->group);
                }
                break;
            case AVAHI_CLIENT_CONNECTING:
                core->reportMissing(AVAHI_ERR_NO_DAEMON);
                break;
            case AVAHI_CLIENT_FAILURE: {
                const int error = avahi_client_errno(changed);
                core->reportMissing(error);
                if (error == AVAHI_ERR_DISCONNECTED) {
                    // Not from inside the client's own callback: the client is freed there.
                    core->schedule(reconnect);
                }
                break;
            }
        }
    }

    void registerService(AvahiClient* running) {
        if (group == nullptr) {
            group = avahi_entry_group_new(running, groupChanged, this);
            if (group == nullptr) {
                reportFailure(avahi_client_errno(running));
                return;
            }
        }
        if (avahi_entry_group_is_empty(group) == 0) {
            return;  // still holds the service from an earlier run of the server
        }
        if (name.empty() && !choosePreferredName(running)) {
            return;
        }
        for (;;) {
            int result = avahi_entry_group_add_service_strlst(
                group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), name.c_str(),
                service.type.c_str(), nullptr, nullptr, service.port, nullptr);
            if (result == AVAHI_ERR_COLLISION && ++collisions <= maxCollisions) {
                // Another service on this machine holds the name already.
                name = alternativeName(name);
                continue;
            }
            if (result >= 0) {
                result = avahi_entry_group_commit(group);
            }
            if (result < 0) {
                avahi_entry_group_reset(group);
                reportFailure(result);
            }
            return;
        }
    }

    bool choosePreferredName(AvahiClient* running) {
        if (!service.name.empty()) {
            name = fitName(service.name);
            return true;
        }
        const char* host = avahi_client_get_host_name(running);
        if (host == nullptr) {
            reportFailure(avahi_client_errno(running));
            return false;
        }
        name = host;
        return true;
    }

    static void groupChanged(AvahiEntryGroup* changed, AvahiEntryGroupState state, void* userdata) {
        auto* core = static_cast<Core*>(userdata);
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED:
                core->collisions = 0;
                core->missingReported = false;
                core->report(Established{core->name});
                break;
            case AVAHI_ENTRY_GROUP_COLLISION:
                // Someone else on the network holds the name: take Avahi's next alternative.
                if (++core->collisions > maxCollisions) {
                    core->reportFailure(AVAHI_ERR_COLLISION);
                    break;
                }
                core->name = alternativeName(core->name);
                avahi_entry_group_reset(changed);
                core->registerService(avahi_entry_group_get_client(changed));
                break;
            case AVAHI_ENTRY_GROUP_FAILURE:
                core->reportFailure(avahi_client_errno(avahi_entry_group_get_client(changed)));
                break;
            case AVAHI_ENTRY_GROUP_UNCOMMITED:
            case AVAHI_ENTRY_GROUP_REGISTERING:
                break;
        }
    }

    // A lost daemon and the fresh client's wait for it are one outcome, reported once.
    void reportMissing(int code) {
        if (missingReported) {
            return;
        }
        missingReported = true;
        report(failure(Failure::Case::daemonMissing, code));
    }

    void reportFailure(int code) { report(failure(Failure::Case::registrationFailed, code)); }

    // The owner may let go of the registration inside its handler; this Core then
    // stays alive until the event thread has stopped (see ~ServiceRegistration).
    void report(const Event& event) {
        if (auto self = owner.lock()) {
            self->deliver(event);
        }
    }

    // Off the event thread, once: freeing the group first withdraws the service from
    // the daemon before this returns.
    void shutDown() {
        if (poll != nullptr) {
            avahi_threaded_poll_stop(poll);
        }
        if (group != nullptr) {
            avahi_entry_group_free(group);
        }
        if (client != nullptr) {
            avahi_client_free(client);
        }
        if (poll != nullptr) {
            avahi_threaded_poll_free(poll);
        }
    }
};

ServiceRegistration::ServiceRegistration(Token, Handler handler) : handler_(std::move(handler)) {}

std::expected<std::shared_ptr<ServiceRegistration>, ServiceRegistration::Failure>
ServiceRegistration::start(Service service, Handler handler) {
    auto self = std::make_shared<ServiceRegistration>(Token{}, std::move(handler));
    auto core = std::make_unique<Core>(std::move(service));
    core->owner = self;
    core->poll = avahi_threaded_poll_new();
    if (core->poll == nullptr) {
        return std::unexpected(failure(Failure::Case::eventLoopFailed, AVAHI_ERR_NO_MEMORY));
    }
    core->api = avahi_threaded_poll_get(core->poll);
    // The client is made on the event thread, so that even its first report arrives
    // there and never inside start().
    core->schedule(Core::begin);
    self->core_ = std::move(core);
    if (avahi_threaded_poll_start(self->core_->poll) < 0) {
        return std::unexpected(failure(Failure::Case::eventLoopFailed, AVAHI_ERR_OS));
    }
    return self;
}

ServiceRegistration::~ServiceRegistration() {
    if (!core_) {
        return;
    }
    if (core_->eventThread.load() == std::this_thread::get_id()) {
        // Let go inside the handler: the event thread cannot join itself, so a helper
        // waits for it to return from this callback and then tears down.
        std::thread([core = std::move(core_)] { core->shutDown(); }).detach();
        return;
    }
    core_->shutDown();
}

std::optional<std::string> ServiceRegistration::establishedName() const {
    std::lock_guard guard(lock_);
    return established_;
}

std::optional<ServiceRegistration::Failure> ServiceRegistration::lastFailure() const {
    std::lock_guard guard(lock_);
    return lastFailure_;
}

void ServiceRegistration::deliver(const Event& event) {
    {
        std::lock_guard guard(lock_);
        if (const auto* established = std::get_if<Established>(&event)) {
            established_ = established->name;
            lastFailure_.reset();
        } else {
            established_.reset();
            lastFailure_ = std::get<Failure>(event);
        }
    }
    if (handler_) {
        handler_(event);
    }
}

std::string ServiceRegistration::fitName(std::string_view name) {
    if (name.size() <= maxNameBytes) {
        return std::string(name);
    }
    std::size_t cut = maxNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return std::string(name.substr(0, cut));
}

}  // namespace zoranth
