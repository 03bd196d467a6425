// The ten exported functions. No exception may cross the C boundary: each body runs inside
// Guarded, which turns anything thrown into the function's failure result.
#include <utility>

#include "Tarvik.h"
#include "engine/ProcessState.h"

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

TARVIK_API int32_t SMSStartService(int32_t /*port*/, int32_t /*baudRate*/, int32_t, int32_t,
                                   int32_t, int32_t, const char*) {
    return Guarded(0, [] { return 0; });
}

TARVIK_API int32_t SMSStopSerice(void) {
    return Guarded(1, [] { return 1; });
}

TARVIK_API int32_t SMSSendMessage(const char* /*text*/, const char* /*number*/) {
    return Guarded(kNotStarted, [] { return kNotStarted; });
}

TARVIK_API int32_t SMSSendMessage2(const char* /*text*/, const char* /*number*/,
                                   const char* /*prefix*/) {
    return Guarded(kNotStarted, [] { return kNotStarted; });
}

TARVIK_API int32_t SMSGetLastError(char* buffer) {
    return Guarded(0, [&] { return GSM::CopyLastError(buffer); });
}

TARVIK_API int32_t SMSReport(SendReport* /*report*/) {
    return Guarded(kNotStarted, [] { return kNotStarted; });
}

TARVIK_API int32_t SMSGetNextMessage(RecvMsg* /*message*/) {
    return Guarded(kNotStarted, [] { return kNotStarted; });
}

TARVIK_API int32_t SMSSetCountryCode(int32_t /*countryCode*/) {
    return Guarded(kNotStarted, [] { return kNotStarted; });
}

TARVIK_API int32_t SMSCounts(void) {
    return Guarded(kNotStarted, [] { return kNotStarted; });
}

TARVIK_API int32_t SMSCommand(const char* /*command*/, char* /*reply*/, int32_t /*waitMs*/) {
    return Guarded(kNotStarted, [] { return kNotStarted; });
}

}  // extern "C"
