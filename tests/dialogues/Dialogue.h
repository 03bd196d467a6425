// A recorded dialogue between the engine and a modem: engine operations (usually one) with their
// arguments and results (the header), and the bytes that went each way (the exchange).
// The text form is described in README.md.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/ComBaseCmd.h"
#include "support/ScriptedLine.h"

namespace Dialogues {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Dialogue {
    Fields header;  // in file order; results are the keys that begin with "expect "
    std::vector<TestSupport::LineEvent> exchange;

    // The value of `key`, or `fallback` when the header has none.
    std::string Get(std::string_view key, std::string_view fallback = "") const;
    Fields Expected() const;
};

// Bytes as one line of text: \r \n \t \\ and \xHH for every other byte outside printable
// ASCII, and for a space at either end, which an editor would not show.
std::string Escape(std::string_view bytes);
std::optional<std::string> Unescape(std::string_view text);

std::string Format(const Dialogue& dialogue);
// Empty, with `error` telling the line, when the text is no dialogue.
std::optional<Dialogue> Parse(std::string_view text, std::string& error);

// Runs the operation the header names against the engine over `port`, with the model code
// the header gives in effect, and returns what a caller would see of it, keyed as the
// header keys its expectations. The last-error text starts empty. Texts are UTF-8 in the
// header and in the local code page for the engine (the same bytes on Linux).
Fields Perform(GSM::IComBaseCmd& engine, CSXCom& port, const Fields& header);

}  // namespace Dialogues
