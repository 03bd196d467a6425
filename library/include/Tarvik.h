/*
 * Tarvik: SMS through a cellular modem on a serial port.
 *
 * Every function returns a small integer and never throws. Texts are NUL-terminated 8-bit
 * strings in the local code page (UTF-8 on Linux); the library reads them only during the
 * call. Buffers belong to the caller; the library copies one whole record into them.
 *
 * Calling order: SMSStartService once, then any of the others in any order, then
 * SMSStopSerice. Before a start and after a stop the functions that need the service
 * return -1 and do nothing.
 */
#ifndef TARVIK_H
#define TARVIK_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define TARVIK_API __declspec(dllexport)
#else
#define TARVIK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The outcome of submitting one queued part, copied out by SMSReport. */
typedef struct SendReport {
    /* Low 8 bits of the sequence number SMSSendMessage2 returned, sign-extended:
     * 128..255 read as -128..-1, 256 as 0. */
    int32_t sequence;
    char text[512];  /* the part's text */
    int32_t result;  /* 1 = the modem accepted the part, 0 = failed (see SMSGetLastError) */
    char number[32]; /* the destination number */
} SendReport;

/* One message read from the modem, copied out by SMSGetNextMessage. Parts of a long
 * message arrive as separate records. */
typedef struct RecvMsg {
    char text[512];     /* message text */
    char number[32];    /* originator */
    char timestamp[32]; /* service-centre time, "2024-03-05 14:07:09" */
} RecvMsg;

/* Starts the service on serial port `port` (1..1024) at `baudRate`. The other five
 * arguments are accepted and ignored. Returns 1 when the service runs, 0 on failure. */
TARVIK_API int32_t SMSStartService(int32_t port, int32_t baudRate, int32_t reserved1,
                                   int32_t reserved2, int32_t reserved3, int32_t reserved4,
                                   const char* reserved5);

/* Stops the service; records not fetched are discarded. Always returns 1. */
TARVIK_API int32_t SMSStopSerice(void);

/* As SMSSendMessage2 with the prefix "86". */
TARVIK_API int32_t SMSSendMessage(const char* text, const char* number);

/* Queues `text` for `number`, preceded by `prefix` (may be NULL). Returns the message's
 * sequence number (1 or more), or -1 when not started or the input is unusable. */
TARVIK_API int32_t SMSSendMessage2(const char* text, const char* number, const char* prefix);

/* Copies the text of the most recent failure into `buffer` (1024 bytes suffice) without a
 * terminating NUL and returns its length; 0 when nothing has failed yet. */
TARVIK_API int32_t SMSGetLastError(char* buffer);

/* Copies and removes the oldest submission result. 1 = copied, 0 = none waiting,
 * -1 = not started. */
TARVIK_API int32_t SMSReport(SendReport* report);

/* Copies and removes the oldest received message. 1 = copied, 0 = none waiting,
 * -1 = not started. */
TARVIK_API int32_t SMSGetNextMessage(RecvMsg* message);

/* Records a country code (used by nothing else). 1 = recorded, -1 = not started. */
TARVIK_API int32_t SMSSetCountryCode(int32_t countryCode);

/* Number of parts still waiting to be submitted; -1 when not started. */
TARVIK_API int32_t SMSCounts(void);

/* Writes `command` to the modem unchanged (include the line end), waits `waitMs`, reads
 * the reply into `reply` (at least 1025 bytes) and terminates it. Returns the number of
 * reply bytes, 0 when the port is closed, -1 when not started. */
TARVIK_API int32_t SMSCommand(const char* command, char* reply, int32_t waitMs);

#ifdef __cplusplus
}
#endif

/* The records cross the library boundary byte for byte. */
#ifdef __cplusplus
#define TARVIK_STATIC_ASSERT static_assert
#else
#define TARVIK_STATIC_ASSERT _Static_assert
#endif
TARVIK_STATIC_ASSERT(sizeof(SendReport) == 552, "SendReport is 552 bytes");
TARVIK_STATIC_ASSERT(offsetof(SendReport, sequence) == 0, "SendReport.sequence");
TARVIK_STATIC_ASSERT(offsetof(SendReport, text) == 4, "SendReport.text");
TARVIK_STATIC_ASSERT(offsetof(SendReport, result) == 516, "SendReport.result");
TARVIK_STATIC_ASSERT(offsetof(SendReport, number) == 520, "SendReport.number");
TARVIK_STATIC_ASSERT(sizeof(RecvMsg) == 576, "RecvMsg is 576 bytes");
TARVIK_STATIC_ASSERT(offsetof(RecvMsg, text) == 0, "RecvMsg.text");
TARVIK_STATIC_ASSERT(offsetof(RecvMsg, number) == 512, "RecvMsg.number");
TARVIK_STATIC_ASSERT(offsetof(RecvMsg, timestamp) == 544, "RecvMsg.timestamp");
#undef TARVIK_STATIC_ASSERT

#endif /* TARVIK_H */
