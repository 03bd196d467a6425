// What the store owes outside hands on, each on a thread of its own: the webhook, posted
// per received message, and the broker, which takes an event of each change.
//
// Webhook: a POST of the message's JSON, signed with HMAC-SHA256, retried with backoff per
// message and dead-lettered after the last try. X-Tarvik-Signature: sha256=HEX, the
// HMAC-SHA256 with the secret of TIMESTAMP + "." + BODY, where TIMESTAMP is
// X-Tarvik-Timestamp (seconds since the epoch); a receiver checks both and refuses old
// timestamps to stop replays.
//
// Broker: events published at QoS 1; an event leaves the store only once the broker has
// acknowledged it (PUBACK), so a crash or a lost broker publishes it again rather than
// losing it. Consumers dedupe on the message id in the payload. Topics:
// PREFIX/DAEMON/MODEM/in and PREFIX/DAEMON/MODEM/out, MODEM "-" for an outgoing message no
// modem has taken yet.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Config.h"
#include "Fleet.h"
#include "Log.h"
#include "Store.h"

struct mosquitto;

namespace Tarvikd {

std::string SignWebhook(const std::string& secret, const std::string& timestamp,
                        const std::string& body);

// The thread, and its stop, which cuts short any wait.
class CPublisher {
public:
    explicit CPublisher(IDeliveries& store) : store_(store) {}
    virtual ~CPublisher() = default;

    void Start();
    // Each publisher stops in its own destructor, while what Run uses is still there.
    void Stop();

protected:
    virtual void Run() = 0;
    // Sleeps up to `ms`, less when stopped or woken.
    void Wait(int ms);
    void WakeUp();

    IDeliveries& store_;
    std::atomic<bool> stop_ = false;

private:
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool woken_ = false;
};

// POSTs a JSON body to the webhook, signed; empty when the receiver took it, else why not.
std::string PostSigned(const WebhookConfig& config, const std::string& body,
                       const std::vector<std::string>& headers);
// The body of a modem.down or modem.up event.
std::string ModemChangeBody(const ModemChange& change);

class CWebhook final : public CPublisher {
public:
    CWebhook(const WebhookConfig& config, IDeliveries& store)
        : CPublisher(store), config_(config) {}
    ~CWebhook() override { Stop(); }
    int64_t LastBeat() const { return beat_.load(); }

private:
    void Run() override;
    // Empty when the receiver took it; else why not.
    std::string Deliver(const Message& message);

    WebhookConfig config_;
    std::atomic<int64_t> beat_ = NowMs();
};

// The webhook's modem events, in the order they happened, each tried up to max_attempts
// times with backoff. Kept in memory: a restart of the daemon tells the modems' state anew.
class CModemEvents final : public CPublisher {
public:
    CModemEvents(const WebhookConfig& config, IDeliveries& store)
        : CPublisher(store), config_(config) {}
    ~CModemEvents() override { Stop(); }
    // From a modem's thread: queued, never waited for.
    void Tell(const ModemChange& change);

private:
    void Run() override;

    WebhookConfig config_;
    std::mutex queueLock_;
    std::deque<ModemChange> queue_;
};

class CMqtt final : public CPublisher {
public:
    CMqtt(const MqttConfig& config, IDeliveries& store);
    ~CMqtt() override;
    // The broker has taken the connection.
    bool Connected() const { return connected_.load(); }

private:
    void Run() override;
    // Why the session must go after a turn of its loop; empty when it is well.
    std::string LoopFault(int code, int64_t connectingSince) const;
    // Tells the first failure in a row, then waits before the next try, longer each time.
    void BackOff(const std::string& what, bool& down, int& backoffMs);
    // A new session, its connection under way; false, with why, when there is none.
    bool Connect(std::string& why);
    // Ends the session; what it had in flight goes out again on the next.
    void Drop();
    // Takes the acknowledged events out of the store.
    void Settle();
    // Publishes the pending events not yet in flight; how many went.
    int PublishPending();

    MqttConfig config_;
    // Only the publisher's thread touches these; the library calls back on it.
    mosquitto* session_ = nullptr;
    int refused_ = 0;              // the CONNACK's refusal, or 0
    std::map<int, int64_t> sent_;  // message id of the publish -> event id
    std::vector<int64_t> acked_;   // event ids the broker took
    std::atomic<bool> connected_ = false;
};

}  // namespace Tarvikd
