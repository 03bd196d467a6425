/**
 * @file Tarvik.h
 * Tarvik: SMS through a cellular modem on a serial port.
 *
 * Link with -lTarvik (pkg-config tarvik, or the CMake target Tarvik::Tarvik), or load
 * libTarvik.so.1 at run time and look the functions up by name.
 *
 * Results: every function returns a small integer and never throws. -1 means the service
 * is not started; 0 failure or nothing waiting; 1 success.
 *
 * Texts: NUL-terminated 8-bit strings in the local code page, which is UTF-8 on Linux and
 * the system's ANSI code page on Windows, in both directions. The library reads a caller's
 * text only during the call and keeps no pointer to it.
 *
 * Buffers: every buffer belongs to the caller. The library copies one whole record, or
 * the error text, into it during the call and never hands out pointers into its own
 * storage. Nothing calls back into the caller.
 *
 * Calling order: SMSStartService once, then any of the others, any number of times, in
 * any order, then SMSStopSerice. Before a start and after a stop the functions that need
 * the service return -1 and do nothing. The service can be started again after a stop.
 *
 * Threads: any thread may call any function, also at the same time. One service runs per
 * process; a start and a stop wait for each other. While the service runs, one worker
 * thread of the library does all the modem traffic: it submits queued parts, and between
 * submissions lists the messages stored on the modem, keeps them for the caller and
 * deletes them on the modem. Results wait until the caller fetches them: poll
 * SMSReport and SMSGetNextMessage (every second or so); they never block.
 *
 * What a stop loses: submission reports and received messages not fetched before
 * SMSStopSerice are gone, as are parts not yet submitted. Fetch first, then stop. A
 * message already received is deleted on the modem as soon as it is kept, so it is not
 * received again after a restart.
 *
 * At-least-once delivery: a received message is deleted on the modem only after it is
 * kept for the caller. When that deletion fails (a silent or unplugged modem), the message
 * stays on the modem and is received again on a later pass: the same message can arrive
 * twice. A program that must not act twice compares number, time stamp and text.
 *
 * Ports: port number n (1 to 1024) names the entry COM<n> of the folder in the environment
 * variable TARVIK_PORT_DIR when that entry exists (a link to a device, or a device);
 * otherwise COM1-COM32 are /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31 and COM65-COM96
 * /dev/ttyACM0-31. On Windows port n is \\.\COMn. The port is opened exclusively, raw,
 * 8N1 at the caller's baud rate.
 *
 * Storage: received messages and reports wait in stores of 500 records each; a record
 * that finds its store full is dropped. The outgoing queue holds 500 parts.
 */
#ifndef TARVIK_H
#define TARVIK_H

#include <stddef.h>
#include <stdint.h>

/* TARVIK_CALL is the calling convention of the ten functions: __stdcall on 32-bit Windows,
 * the one the platform has elsewhere. Consumers on Windows import them from Tarvik.dll. */
#if defined(_WIN32)
#if defined(TARVIK_BUILDING)
#define TARVIK_API /* the .def file alone names the exports, undecorated */
#else
#define TARVIK_API __declspec(dllimport)
#endif
#define TARVIK_CALL __stdcall
#else
#define TARVIK_API __attribute__((visibility("default")))
#define TARVIK_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/**
 * The outcome of submitting one queued part, copied out by SMSReport. A long text is sent
 * in parts, and each part has its own report, in the order of submission. 552 bytes; every
 * text field is NUL-terminated and the bytes behind it are zero.
 */
typedef struct SendReport {
    /** Low 8 bits of the sequence number SMSSendMessage2 returned, sign-extended:
     * 1..127 as they are, 128..255 read as -128..-1, 256 as 0, and so on. */
    int32_t sequence;
    char text[512]; /**< the part's text, in the local code page */
    /** 1 = the modem accepted the part; 0 = it failed, and the reason is the text of
     * SMSGetLastError. A failed part is not tried again. */
    int32_t result;
    /** The number as the caller gave it, without the prefix: "13912345678" for
     * SMSSendMessage(text, "13912345678"). Without a prefix (NULL or "") the first two
     * digits are taken to be the country code and left out; a "+" number is whole. */
    char number[32];
} SendReport;

/**
 * One message read from the modem, copied out by SMSGetNextMessage. The parts of a long
 * message arrive as separate records and are not joined. 576 bytes; every field is
 * NUL-terminated.
 */
typedef struct RecvMsg {
    char text[512];  /**< the message text, in the local code page */
    char number[32]; /**< the originator, as the network gave it */
    /** The service centre's time stamp, "2024-03-05 14:07:09", without its time zone. */
    char timestamp[32];
} RecvMsg;

/**
 * Starts the service: opens serial port `port`, identifies the modem's model, sets it up
 * and starts the worker thread. Takes some seconds; blocks the calling thread meanwhile.
 * @param port      1 to 1024, the n of COM<n>; see "Ports" above
 * @param baudRate  the line's rate, such as 115200 (a rate the system does not know fails)
 * @param reserved1,reserved2,reserved3,reserved4,reserved5  accepted and ignored (pass 0,
 *        and "" or NULL)
 * @return 1 when the service runs (also when it already ran), 0 when the port cannot be
 *         opened, the modem does not answer, or its set-up fails; SMSGetLastError says
 *         why. After a failed start, call SMSStopSerice before trying another port.
 */
TARVIK_API int32_t TARVIK_CALL SMSStartService(int32_t port, int32_t baudRate, int32_t reserved1,
                                               int32_t reserved2, int32_t reserved3,
                                               int32_t reserved4, const char* reserved5);

/**
 * Stops the service: ends the worker at once (mid-operation if need be, within a fraction
 * of a second), closes the port and discards every report, received message and queued
 * part still waiting. Fetch what you need first. On Linux, unloading the library or ending
 * the process stops the service too. On Windows a running service keeps Tarvik.dll loaded
 * until this stop, and a process that ends without it ends at once.
 * @return 1, always, also when nothing ran.
 */
TARVIK_API int32_t TARVIK_CALL SMSStopSerice(void);

/**
 * SMSSendMessage2(text, number, "86"): the number is national, and the default prefix
 * "86" is put in front of it.
 */
TARVIK_API int32_t TARVIK_CALL SMSSendMessage(const char* text, const char* number);

/**
 * Queues a text for sending and returns at once; the worker submits it, and each part's
 * outcome arrives later through SMSReport.
 * @param text    in the local code page. Cut into parts that fit one message each: 140
 *                characters when every character is safe in the GSM alphabet, else 70
 *                UTF-16 units (some models take fewer); a surrogate pair is never split.
 * @param number  digits, or "+" and digits for a complete international number (then the
 *                prefix is not used)
 * @param prefix  digits put in front of the number, such as a country code; NULL or ""
 *                for none. Prefix and number together hold at most 29 characters.
 * @return the message's sequence number, 1 or more, counted from the library's load; -1
 *         when not started, when the text is empty, when number or prefix holds anything
 *         else than digits or is too long, or when the queue cannot take every part. A
 *         text is queued whole or not at all.
 */
TARVIK_API int32_t TARVIK_CALL SMSSendMessage2(const char* text, const char* number,
                                               const char* prefix);

/**
 * Copies the English text of the most recent failure (of a start, a set-up step or a
 * submission) into `buffer`, WITHOUT a terminating NUL, and returns its length. Clear a
 * 1024-byte buffer first, or terminate the text at the returned length. Works whether or
 * not the service runs; a success does not clear the text.
 * @param buffer  at least 1024 bytes, owned by the caller; NULL only asks the length
 * @return the length in bytes (at most 1023); 0 when nothing has failed since the load.
 */
TARVIK_API int32_t TARVIK_CALL SMSGetLastError(char* buffer);

/**
 * Copies the oldest submission report into `report` and removes it. Never blocks.
 * @param report  a caller's record of 552 bytes
 * @return 1 = copied, 0 = none waiting (or `report` is NULL), -1 = not started.
 */
TARVIK_API int32_t TARVIK_CALL SMSReport(SendReport* report);

/**
 * Copies the oldest received message into `message` and removes it. Never blocks. The
 * message is already deleted on the modem (but see "At-least-once delivery" above).
 * @param message  a caller's record of 576 bytes
 * @return 1 = copied, 0 = none waiting (or `message` is NULL), -1 = not started.
 */
TARVIK_API int32_t TARVIK_CALL SMSGetNextMessage(RecvMsg* message);

/**
 * Records a country code. Nothing in the library reads it: the prefix of a number comes
 * only from SMSSendMessage2's `prefix`.
 * @return 1 = recorded, -1 = not started.
 */
TARVIK_API int32_t TARVIK_CALL SMSSetCountryCode(int32_t countryCode);

/**
 * @return the number of parts still waiting to be submitted (the part being submitted
 *         is no longer counted); -1 when not started.
 */
TARVIK_API int32_t TARVIK_CALL SMSCounts(void);

/**
 * Passes a raw command to the modem: waits for the operation the worker has under way,
 * writes `command` unchanged, sleeps `waitMs`, then reads what the modem sends (waiting
 * up to 5 seconds for the first byte, to the end of the burst) and terminates it with a
 * NUL. Blocks the calling thread meanwhile. A command that changes the modem's settings
 * can confuse the worker.
 * @param command  the command with its line end, such as "AT+CSQ\r\n"
 * @param reply    at least 1025 bytes, owned by the caller: up to 1024 reply bytes and NUL
 * @param waitMs   milliseconds to wait between writing and reading
 * @return the number of reply bytes (0 when the modem said nothing, the port is closed or
 *         an argument is NULL); -1 when not started.
 */
TARVIK_API int32_t TARVIK_CALL SMSCommand(const char* command, char* reply, int32_t waitMs);

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
