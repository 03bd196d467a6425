// A serial device asked briefly whether a modem answers there, without disturbing a
// program that holds it: what `tarvik ports` and `tarvikd --check-config` both show.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

class CSXCom;

namespace TarvikCli {

struct Probe {
    std::string heldBy;  // the programs that keep it, when any: it was not touched
    bool opened = false;
    bool answers = false;  // to AT
    // label, answer; in the order they are shown
    std::vector<std::pair<std::string, std::string>> facts;
};

// Asks `path` for AT, twice at most, unless another program holds it; `more` may ask the
// port of a modem that answered for more.
Probe ProbeDevice(const std::string& path, int baud,
                  const std::function<void(CSXCom&, Probe&)>& more = {});

// Writes `command` and a line end and reads the reply's burst.
std::string Ask(CSXCom& com, const std::string& command);

}  // namespace TarvikCli
