// The ten exported functions. No exception may cross the C boundary: each body runs inside
// Guarded, which turns anything thrown into the function's failure result.
#include <utility>

#include "Tarvik.h"
#include "engine/ProcessState.h"
#include "service/ServiceHost.h"

namespace {

template <typename Body>
int32_t Guarded(int32_t onFailure, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return onFailure;
    }
}

constexpr int32_t kNotStarted = -1;

}  // namespace

extern "C" {

TARVIK_API int32_t TARVIK_CALL SMSStartService(int32_t port, int32_t baudRate, int32_t, int32_t,
                                               int32_t, int32_t, const char*) {
    return Guarded(0, [&] { return GSM::ServiceHost().Start(port, baudRate); });
}

TARVIK_API int32_t TARVIK_CALL SMSStopSerice(void) {
    return Guarded(1, [] {
        GSM::ServiceHost().Stop();
        return 1;
    });
}

TARVIK_API int32_t TARVIK_CALL SMSSendMessage(const char* text, const char* number) {
    return Guarded(kNotStarted, [&] { return GSM::ServiceHost().SendMessage(text, number, "86"); });
}

TARVIK_API int32_t TARVIK_CALL SMSSendMessage2(const char* text, const char* number,
                                               const char* prefix) {
    return Guarded(kNotStarted,
                   [&] { return GSM::ServiceHost().SendMessage(text, number, prefix); });
}

TARVIK_API int32_t TARVIK_CALL SMSGetLastError(char* buffer) {
    return Guarded(0, [&] { return GSM::CopyLastError(buffer); });
}

TARVIK_API int32_t TARVIK_CALL SMSReport(SendReport* report) {
    return Guarded(kNotStarted, [&]() -> int32_t {
        const auto service = GSM::ServiceHost().Current();
        if (service == nullptr) {
            return kNotStarted;
        }
        return report != nullptr && service->PopReport(*report) ? 1 : 0;
    });
}

TARVIK_API int32_t TARVIK_CALL SMSGetNextMessage(RecvMsg* message) {
    return Guarded(kNotStarted, [&]() -> int32_t {
        const auto service = GSM::ServiceHost().Current();
        if (service == nullptr) {
            return kNotStarted;
        }
        return message != nullptr && service->PopReceived(*message) ? 1 : 0;
    });
}

TARVIK_API int32_t TARVIK_CALL SMSSetCountryCode(int32_t countryCode) {
    return Guarded(kNotStarted, [&] { return GSM::ServiceHost().SetCountryCode(countryCode); });
}

TARVIK_API int32_t TARVIK_CALL SMSCounts(void) {
    return Guarded(kNotStarted, []() -> int32_t {
        const auto service = GSM::ServiceHost().Current();
        return service != nullptr ? static_cast<int32_t>(service->OutgoingCount()) : kNotStarted;
    });
}

TARVIK_API int32_t TARVIK_CALL SMSCommand(const char* command, char* reply, int32_t waitMs) {
    return Guarded(kNotStarted, [&] { return GSM::ServiceHost().Command(command, reply, waitMs); });
}

}  // extern "C"
