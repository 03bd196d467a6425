// What the command line needs of the system besides the library: the interrupt, and
// standard input read line by line with a time limit. Platform twins in ConsolePosix.cpp
// and ConsoleWin32.cpp.
#pragma once

#include <functional>
#include <string>

namespace TarvikCli {

// From the first call on, SIGINT and SIGTERM (Ctrl-C, Ctrl-Break and closing the console
// on Windows) no longer end the process: each one counts, and `onInterrupt` runs on a
// thread of its own. Call it before anything starts a thread.
void CatchInterrupts(std::function<void()> onInterrupt);
int Interrupts();
// Ends the thread that waits for the signals.
void ReleaseInterrupts();

enum class LineResult { Line, TimedOut, Ended };

// The next line of standard input without its line end, waiting up to `timeoutMs`.
LineResult ReadLine(std::string& line, int timeoutMs);

// Sets a variable of the process environment where the library reads it at its start.
void SetEnvironment(const char* name, const char* value);

// Whether standard input is a terminal (a person would have to type the text).
bool InputIsTerminal();

}  // namespace TarvikCli
