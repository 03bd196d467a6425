// The stand-in Tarvik library of the Quorrel tests: what it answers and what it was asked.
// It exports the library's functions (some builds leave a few out) and QuorrelStubState.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "Tarvik.h"

struct StubState {
    int32_t startResult = 1;
    int32_t stopResult = 1;
    // Copied into the caller's buffer as SMSGetLastError does: no NUL, at most 1024 bytes.
    std::string lastError;

    // Handed out one per call, oldest first; a report with the result its call returns.
    std::deque<RecvMsg> messages;
    std::deque<std::pair<int32_t, SendReport>> reports;

    int startCalls = 0;
    int32_t startArgs[6] = {};
    std::string startText;
    // TARVIK_QUICK_REPLIES as the library found it at its start; "(unset)" when absent.
    std::string startQuick;
    int sendCalls = 0;
    std::string sentText;
    std::string sentNumber;
    std::string sentPrefix;
    bool sentNullPrefix = false;
};

extern "C" TARVIK_API StubState* QuorrelStubState();
