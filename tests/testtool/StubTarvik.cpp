// A test double for Tarvik: each function answers from StubState. Builds that define
// STUB_WITHOUT_START or STUB_WITHOUT_SEND leave those exports out, as a damaged or older
// library would.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "StubState.h"

namespace {

StubState& State() {
    static StubState state;
    return state;
}

}  // namespace

extern "C" {

StubState* QuorrelStubState() {
    return &State();
}

#ifndef STUB_WITHOUT_START
int32_t SMSStartService(int32_t port, int32_t baudRate, int32_t reserved1, int32_t reserved2,
                        int32_t reserved3, int32_t reserved4, const char* reserved5) {
    StubState& state = State();
    ++state.startCalls;
    const int32_t args[] = {port, baudRate, reserved1, reserved2, reserved3, reserved4};
    std::copy(std::begin(args), std::end(args), state.startArgs);
    state.startText = reserved5 != nullptr ? reserved5 : "(null)";
    const char* quick = std::getenv("TARVIK_QUICK_REPLIES");
    state.startQuick = quick != nullptr ? quick : "(unset)";
    return state.startResult;
}

int32_t SMSReport(SendReport* report) {
    StubState& state = State();
    if (state.reports.empty()) {
        return 0;
    }
    const auto [result, record] = state.reports.front();
    state.reports.pop_front();
    if (result > 0) {
        *report = record;
    }
    return result;
}
#endif

#ifndef STUB_WITHOUT_SEND
int32_t SMSStopSerice(void) {
    return State().stopResult;
}

int32_t SMSSendMessage2(const char* text, const char* number, const char* prefix) {
    StubState& state = State();
    ++state.sendCalls;
    state.sentText = text;
    state.sentNumber = number;
    state.sentNullPrefix = prefix == nullptr;
    state.sentPrefix = prefix != nullptr ? prefix : "";
    return state.sendCalls;
}

int32_t SMSGetNextMessage(RecvMsg* message) {
    StubState& state = State();
    if (state.messages.empty()) {
        return 0;
    }
    *message = state.messages.front();
    state.messages.pop_front();
    return 1;
}
#endif

int32_t SMSSendMessage(const char*, const char*) {
    return -1;
}

int32_t SMSGetLastError(char* buffer) {
    const std::string& text = State().lastError;
    const std::size_t length = std::min<std::size_t>(text.size(), 1024);
    std::memcpy(buffer, text.data(), length);
    return static_cast<int32_t>(length);
}

int32_t SMSSetCountryCode(int32_t) {
    return -1;
}

int32_t SMSCounts(void) {
    return 0;
}

int32_t SMSCommand(const char*, char*, int32_t) {
    return -1;
}

}  // extern "C"
