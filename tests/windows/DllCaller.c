/* A C caller of the real Tarvik.dll: loads it by name, looks each function up by name and
 * drives one scenario against the simulator behind COM<port>. Runs under Wine.
 * Usage: DllCaller SCENARIO PORT [ARGUMENT]; exit code 0 when the scenario held. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Tarvik.h"

typedef int32_t(TARVIK_CALL* StartFn)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                      const char*);
typedef int32_t(TARVIK_CALL* NoArgFn)(void);
typedef int32_t(TARVIK_CALL* Send2Fn)(const char*, const char*, const char*);
typedef int32_t(TARVIK_CALL* ReportFn)(SendReport*);
typedef int32_t(TARVIK_CALL* NextFn)(RecvMsg*);
typedef int32_t(TARVIK_CALL* ErrorFn)(char*);

static HMODULE library;
static int failures;

#define CHECK(condition)                                                            \
    do {                                                                            \
        if (!(condition)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                             \
        }                                                                           \
    } while (0)

/* Bound at each use, by name, as callers of the library do. void (*)(void) is the type any
 * function pointer may pass through without a warning. */
typedef void (*AnyFn)(void);
static AnyFn Bind(const char* name) {
    AnyFn f = (AnyFn)GetProcAddress(library, name);
    if (f == NULL) {
        fprintf(stderr, "Tarvik.dll has no %s\n", name);
        exit(2);
    }
    return f;
}

static int32_t Start(int port) {
    return ((StartFn)Bind("SMSStartService"))(port, 115200, 2, 8, 0, 1, "card");
}
static int32_t Stop(void) {
    return ((NoArgFn)Bind("SMSStopSerice"))();
}
static int32_t Counts(void) {
    return ((NoArgFn)Bind("SMSCounts"))();
}
static int32_t Send(const char* text, const char* number) {
    return ((Send2Fn)Bind("SMSSendMessage2"))(text, number, "86");
}
static int32_t Report(SendReport* r) {
    return ((ReportFn)Bind("SMSReport"))(r);
}
static int32_t Next(RecvMsg* m) {
    return ((NextFn)Bind("SMSGetNextMessage"))(m);
}

static void PrintLastError(void) {
    char text[1024] = {0};
    ((ErrorFn)Bind("SMSGetLastError"))(text);
    fprintf(stderr, "last error: %s\n", text);
}

static void Load(void) {
    library = LoadLibraryA("Tarvik.dll");
    if (library == NULL) {
        fprintf(stderr, "LoadLibraryA(Tarvik.dll): error %lu\n", GetLastError());
        exit(2);
    }
}

/* Counts a failed start as a failure. */
static int StartOrFail(int port) {
    if (Start(port) != 1) {
        PrintLastError();
        fprintf(stderr, "SMSStartService(%d) failed\n", port);
        ++failures;
        return 0;
    }
    return 1;
}

/* The modem's own number: what is sent there comes back as a received message. */
static const char kOwnNumber[] = "13800138000";

/* Waits up to `seconds` for the report of sequence `sequence`; its result, or -2. */
static int AwaitReport(int32_t sequence, int seconds) {
    SendReport report;
    for (DWORD end = GetTickCount() + 1000u * (DWORD)seconds; GetTickCount() < end;) {
        if (Report(&report) == 1 && report.sequence == (int8_t)(sequence & 0xFF)) {
            return report.result;
        }
        Sleep(100);
    }
    return -2;
}

/* Waits up to `seconds` for a message whose text is `text`, dropping others. */
static int AwaitMessage(const char* text, int seconds) {
    RecvMsg message;
    for (DWORD end = GetTickCount() + 1000u * (DWORD)seconds; GetTickCount() < end;) {
        if (Next(&message) == 1) {
            if (strcmp(message.text, text) == 0) {
                return 1;
            }
            fprintf(stderr, "received other text (%u bytes):", (unsigned)strlen(message.text));
            for (const char* p = message.text; *p; ++p) {
                fprintf(stderr, " %02X", (unsigned char)*p);
            }
            fprintf(stderr, "\n");
        } else {
            Sleep(100);
        }
    }
    return 0;
}

static double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * (double)(to.QuadPart - from.QuadPart) / (double)frequency.QuadPart;
}

static double TimedStop(void) {
    LARGE_INTEGER before, after;
    QueryPerformanceCounter(&before);
    CHECK(Stop() == 1);
    QueryPerformanceCounter(&after);
    return Milliseconds(before, after);
}

/* Start, send, report, receive, stop; the simulator holds one message from 10086. */
static void Exchange(int port) {
    if (!StartOrFail(port)) {
        return;
    }
    CHECK(AwaitMessage("Stored before the start", 30));
    const int32_t sequence = Send("Hello through the DLL", kOwnNumber);
    CHECK(sequence >= 1);
    CHECK(AwaitReport(sequence, 30) == 1);
    CHECK(AwaitMessage("Hello through the DLL", 30));
    CHECK(Counts() == 0);
    CHECK(Stop() == 1);
    SendReport report;
    CHECK(Report(&report) == -1);
    CHECK(Counts() == -1);
}

/* The simulator answers every command late: a stop comes while a submission is under way. */
static void StopDuringSubmission(int port) {
    if (!StartOrFail(port)) {
        return;
    }
    CHECK(Send("Stopped in the middle", kOwnNumber) >= 1);
    /* The worker has taken the part once the queue is empty; give it time to be writing. */
    for (DWORD end = GetTickCount() + 20000; Counts() != 0 && GetTickCount() < end;) {
        Sleep(10);
    }
    CHECK(Counts() == 0);
    Sleep(300);
    const double ms = TimedStop();
    printf("stop during a submission: %.1f ms\n", ms);
    CHECK(ms < 100.0);
}

/* The harness kills the simulator when `marker` appears and deletes it afterwards. */
static void Unplug(int port, const char* marker) {
    if (!StartOrFail(port)) {
        return;
    }
    CHECK(AwaitMessage("Stored before the start", 30));
    HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    CHECK(file != INVALID_HANDLE_VALUE);
    CloseHandle(file);
    for (DWORD end = GetTickCount() + 20000;
         GetFileAttributesA(marker) != INVALID_FILE_ATTRIBUTES && GetTickCount() < end;) {
        Sleep(20);
    }
    CHECK(GetFileAttributesA(marker) == INVALID_FILE_ATTRIBUTES);
    /* Let the worker meet the dead line, then measure what it costs over three seconds. */
    Sleep(1000);
    FILETIME created, exited, kernelBefore, userBefore, kernelAfter, userAfter;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernelBefore, &userBefore);
    Sleep(3000);
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernelAfter, &userAfter);
    ULARGE_INTEGER k0, k1, u0, u1;
    k0.LowPart = kernelBefore.dwLowDateTime, k0.HighPart = kernelBefore.dwHighDateTime;
    k1.LowPart = kernelAfter.dwLowDateTime, k1.HighPart = kernelAfter.dwHighDateTime;
    u0.LowPart = userBefore.dwLowDateTime, u0.HighPart = userBefore.dwHighDateTime;
    u1.LowPart = userAfter.dwLowDateTime, u1.HighPart = userAfter.dwHighDateTime;
    const double cpuMs = (double)((k1.QuadPart - k0.QuadPart) + (u1.QuadPart - u0.QuadPart)) / 1e4;
    printf("CPU over 3 s with the modem unplugged: %.0f ms\n", cpuMs);
    CHECK(cpuMs < 300.0);
    const double ms = TimedStop();
    printf("stop after the unplug: %.1f ms\n", ms);
    CHECK(ms < 100.0);
}

/* In code page `codePage` a stored message arrives as `stored`, one with a character the
 * code page lacks as `defaulted` (its default character, the rest kept), and `sent`, given in
 * the code page's bytes, goes out as UCS2 and comes back from the modem's own number. */
static void CodePageRoundTrip(int port, UINT codePage, const char* stored, const char* defaulted,
                              const char* sent) {
    CHECK(GetACP() == codePage);
    if (!StartOrFail(port)) {
        return;
    }
    CHECK(AwaitMessage(stored, 30));
    CHECK(AwaitMessage(defaulted, 30));
    const int32_t sequence = Send(sent, kOwnNumber);
    CHECK(sequence >= 1);
    CHECK(AwaitReport(sequence, 30) == 1);
    CHECK(AwaitMessage(sent, 30));
    CHECK(Stop() == 1);
}

/* A second process cannot start on the port this one holds. */
static void Exclusive(int port, const char* self) {
    if (!StartOrFail(port)) {
        return;
    }
    char command[MAX_PATH + 64];
    snprintf(command, sizeof command, "\"%s\" try-start %d", self, port);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    CHECK(CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process));
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 99;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CHECK(code == 0); /* the other start failed */
    CHECK(Stop() == 1);
}

/* Run by Exclusive in a second process: exit code 0 when the start failed. */
static int TryStart(int port) {
    return Start(port) == 1 ? 1 : 0;
}

/* The caller unloads the library while the service runs: the worker's code stays mapped
 * until the stop; after it the library goes. */
static void UnloadWhileRunning(int port) {
    if (!StartOrFail(port)) {
        return;
    }
    CHECK(Send("Sent after the unload", kOwnNumber) >= 1);
    CHECK(FreeLibrary(library));
    CHECK(GetModuleHandleA("Tarvik.dll") != NULL); /* held by the running service */
    Sleep(3000);                                   /* the worker keeps running in it */
    Load();
    CHECK(AwaitMessage("Sent after the unload", 30));
    CHECK(Stop() == 1);
    CHECK(FreeLibrary(library));
    CHECK(GetModuleHandleA("Tarvik.dll") == NULL); /* the stop gave its hold back */
}

/* Returns from main with the service running: the process must end at once with 7. */
static int ExitWithoutStop(int port) {
    if (!StartOrFail(port)) {
        return 1;
    }
    Send("Left running", kOwnNumber);
    Sleep(500);
    return 7;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: DllCaller SCENARIO PORT [ARGUMENT]\n");
        return 2;
    }
    const char* scenario = argv[1];
    const int port = atoi(argv[2]);
    Load();
    if (strcmp(scenario, "exchange") == 0) {
        Exchange(port);
    } else if (strcmp(scenario, "stop-during-submission") == 0) {
        StopDuringSubmission(port);
    } else if (strcmp(scenario, "unplug") == 0 && argc > 3) {
        Unplug(port, argv[3]);
    } else if (strcmp(scenario, "codepage-936") == 0) {
        /* The simulator holds "中文短信" from 10086 and "中文한XÜüÉ£¥²Ýµ" from 10087; GBK
         * has no Hangul and of the Latin ones only ü, and no look-alike stands in for them
         * (ü for Ü, ￡ for £). */
        CodePageRoundTrip(port, 936, "\xD6\xD0\xCE\xC4\xB6\xCC\xD0\xC5",
                          "\xD6\xD0\xCE\xC4?X?\xA8\xB9??????",
                          "\xD6\xD0\xCE\xC4\xB2\xE2\xCA\xD4 GBK");
    } else if (strcmp(scenario, "codepage-1252") == 0) {
        /* "Grüße €" from 10086 and "Grüße 中☃Āł∞" from 10087: no A, l or 8 for the last
         * three. */
        CodePageRoundTrip(port, 1252,
                          "Gr\xFC\xDF"
                          "e \x80",
                          "Gr\xFC\xDF"
                          "e ?????",
                          "Gr\xFC\xDF"
                          "e \x80");
    } else if (strcmp(scenario, "exclusive") == 0) {
        Exclusive(port, argv[0]);
    } else if (strcmp(scenario, "try-start") == 0) {
        return TryStart(port);
    } else if (strcmp(scenario, "unload-while-running") == 0) {
        UnloadWhileRunning(port);
    } else if (strcmp(scenario, "exit-without-stop") == 0) {
        return ExitWithoutStop(port);
    } else {
        fprintf(stderr, "unknown scenario %s\n", scenario);
        return 2;
    }
    if (failures == 0) {
        printf("%s: passed\n", scenario);
    }
    return failures == 0 ? 0 : 1;
}
