// The states a message and its webhook delivery go through, and their names, which are what
// the API, the events' payloads, the metrics and the database show.
//
// Outgoing: queued -> sending -> sent | failed | unknown, and queued -> cancelled. `unknown`
// is a send that was handed to a modem when the daemon or the modem's child died before its
// outcome came: it may have gone, so it is never sent again by itself. A received message is
// `received`.
#pragma once

#include <optional>
#include <string>

namespace Tarvikd {

enum class MessageState { Queued, Sending, Sent, Failed, Unknown, Cancelled, Received };

// A received message's delivery to the webhook; None without a webhook.
enum class WebhookState { None, Pending, Delivered, Dead };

const char* ToString(MessageState state);
const char* ToString(WebhookState state);
// Nothing for a name no state has.
std::optional<MessageState> MessageStateNamed(const std::string& name);
std::optional<WebhookState> WebhookStateNamed(const std::string& name);

}  // namespace Tarvikd
