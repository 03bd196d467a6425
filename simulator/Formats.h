// How a stored message is shown in each listing dialect: the transfer unit of PDU mode and
// the header and body lines of the two text-mode layouts.
#pragma once

#include <optional>
#include <string>

#include "Messages.h"

namespace ModemSim {

struct ListedUnit {
    std::string hex;     // service-centre part first
    int tpduOctets = 0;  // the length a listing announces: octets after the service-centre part
};

// Received messages become SMS-DELIVER units, stored outgoing ones SMS-SUBMIT units. None
// when the text does not fit one unit.
std::optional<ListedUnit> UnitOf(const StoredMessage& message, const std::string& serviceCentre);

// "<tag> <index>,<stat>,,<length>", line end, optionally an empty line, then the unit;
// without the final line end.
std::string PduEntry(const std::string& tag, int index, MessageStatus status,
                     const ListedUnit& unit, bool blankLine);

// The common text-mode layout: "+CMGL: <index>,"<stat>","<number>","yy/MM/dd,hh:mm:ss+zz""
// and the body line; number and body in UCS2 hex when that character set is chosen. With
// `index` below 0, the "+CMGR:" header of the same layout. Without the final line end.
std::string TextEntry(const StoredMessage& message, int index, bool ucs2);

// The layout of the models that list by index: "<tag> [<index>,]"<stat>","<number>",
// "yyyy/MM/dd hh:mm:ss",<lang>,<encoding>,<priority>,<length>" and the raw body, encoding 2
// for plain text, 4 for UCS2 bytes and 0 for octets. Without the final line end.
std::string IndexDialectEntry(const StoredMessage& message, int index);

// "yy/MM/dd,hh:mm:ss+zz", the time stamp of the common text-mode layout.
std::string TextStamp(const MessageTime& time);

// An SMS-SUBMIT unit of a stored outgoing message (relative validity absent).
std::optional<ListedUnit> EncodeSubmitUnit(const StoredMessage& message,
                                           const std::string& serviceCentre);

}  // namespace ModemSim
