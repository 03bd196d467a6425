// The subcommands of `tarvik`, each returning the process's exit code.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "Options.h"
#include "Session.h"
#include "link/ServeLink.h"

namespace TarvikCli {

enum ExitCode : int {
    kExitDone = 0,
    kExitRefused = 1,
    kExitUsage = 2,
    kExitStartFailed = 3,
    kExitGaveUp = 4,
};

int RunSend(const Options& options);
int RunReceive(const Options& options);
int RunServe(const Options& options);
int RunAt(const Options& options);
int RunIdentify(const Options& options);
int RunPorts(const Options& options);

// "tarvik: " and the message on standard error; returns `code`.
int Complain(int code, const std::string& message);

// Where messages that arrive during a send, a command or an identification go: appended
// to `path` as JSON lines, or to standard error as text when `path` is empty. Messages the
// library took off the modem are never dropped silently.
std::function<void(const Received&)> SideSink(const std::string& path);

// The modem's reply to `command` (a line end added when it has none), read after `waitMs`.
std::string AskModem(const std::string& command, int waitMs);
// A query that, with quick replies, ends at its final result: the line is free at once.
std::string AskQuery(const std::string& command);

// The modem's health as the serve link carries it.
TarvikLink::ModemHealth LinkHealth(const Tarvik::ModemHealth& health);

// Runs `start` on a session, with an interrupt meanwhile cutting it short.
bool StartSession(CSession& session, const Options& options, std::string& why);

}  // namespace TarvikCli
