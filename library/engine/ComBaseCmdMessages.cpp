// Submission and retrieval: these operations arrive with the send worker. Until then each
// reports failure, so nothing is ever claimed as sent or received.
#include "engine/ComBaseCmd.h"

namespace GSM {

int IComBaseCmd::SendMessage(CSXCom&, const OutgoingPart&) {
    return 0;
}
int IComBaseCmd::ReadMessages(CSXCom&, MsgRecord*) {
    return 0;
}
int IComBaseCmd::DeleteMessage(CSXCom&, int) {
    return 0;
}
int IComBaseCmd::SendMessageUnprompted(CSXCom&, const OutgoingPart&) {
    return 0;
}
int IComBaseCmd::ReadMessagesByIndex(CSXCom&, MsgRecord*) {
    return 0;
}
int IComBaseCmd::SendMessageUcs2(CSXCom&, const OutgoingPart&) {
    return 0;
}
int IComBaseCmd::ReadAllMessagesUcs2(CSXCom&, MsgRecord*) {
    return 0;
}
int IComBaseCmd::ListMessageIndexes(CSXCom&, int*, const char*) {
    return 0;
}
int IComBaseCmd::ReadMessage(CSXCom&, int, MsgRecord&) {
    return 0;
}

}  // namespace GSM
