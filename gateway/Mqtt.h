// Publishes the store's events to an MQTT broker at QoS 1: an event leaves the store only
// once the broker has acknowledged it (PUBACK), so a crash or a lost broker publishes it
// again rather than losing it. Consumers dedupe on the message id in the payload.
//
// Topics: PREFIX/DAEMON/MODEM/in and PREFIX/DAEMON/MODEM/out, MODEM "-" for an outgoing
// message no modem has taken yet.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Config.h"
#include "Store.h"

struct mosquitto;

namespace Tarvikd {

// Where an event is published.
std::string EventTopic(const std::string& prefix, const Event& event);

class CMqtt {
public:
    CMqtt(const MqttConfig& config, IDeliveries& store) : config_(config), store_(store) {}
    ~CMqtt() { Stop(); }
    CMqtt(const CMqtt&) = delete;
    CMqtt& operator=(const CMqtt&) = delete;

    void Start();
    void Stop();
    // The broker has taken the connection.
    bool Connected() const { return connected_.load(); }

private:
    void Run();
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
    // Sleeps up to `ms`, less when stopped.
    void Wait(int ms);

    static void OnConnect(mosquitto* session, void* self, int code);
    static void OnPublish(mosquitto* session, void* self, int mid);

    MqttConfig config_;
    IDeliveries& store_;
    // Only the publisher's thread touches these; the library calls back on it.
    mosquitto* session_ = nullptr;
    int refused_ = 0;              // the CONNACK's refusal, or 0
    std::map<int, int64_t> sent_;  // message id of the publish -> event id
    std::set<int64_t> inFlight_;   // event ids
    std::vector<int64_t> acked_;   // event ids the broker took
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::atomic<bool> stop_ = false;
    std::atomic<bool> connected_ = false;
};

}  // namespace Tarvikd
