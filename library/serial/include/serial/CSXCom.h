// The one serial link to the modem: opened by port number and baud rate, written in whole
// commands, read in bursts that end when the line falls quiet.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "serial/SerialDevice.h"
#include "serial/SerialTiming.h"

inline constexpr unsigned PURGE_TXABORT = 0x0001;
inline constexpr unsigned PURGE_RXABORT = 0x0002;
inline constexpr unsigned PURGE_TXCLEAR = 0x0004;
inline constexpr unsigned PURGE_RXCLEAR = 0x0008;
inline constexpr unsigned PURGE_ALL = 0x000F;

// Tells whether the bytes of a burst so far end with a complete answer, after which a short
// settle gap ends the burst instead of the full silence. The engine knows what an answer is;
// the port only asks.
using BurstEndTest = bool (*)(std::string_view collected);
// Where the first complete answer in a burst's bytes ends, or npos when they hold none.
using AnswerEnd = std::size_t (*)(std::string_view collected);

// How one read decides the end of its burst.
enum class BurstRule {
    Port,   // as the port is set: by silence, or quick when a test is set
    Quiet,  // by silence alone, whatever the port's setting (bodies that may read "OK")
    // As Quiet, but with quick replies set a burst that passes the port's second test (a
    // bare result: no entry, so no body) ends after the settle gap.
    Bare,
};

// One caller at a time, except Interrupt, which any thread may call at any time.
class CSXCom {
public:
    CSXCom() = default;
    virtual ~CSXCom();
    CSXCom(const CSXCom&) = delete;
    CSXCom& operator=(const CSXCom&) = delete;

    // 1 when the port is open and configured. A failed Open may leave the device held;
    // the caller calls Close.
    int Open(int port, int baudRate);
    // The same on a device named by its path, such as a stable link under /dev/serial.
    int OpenDevice(const std::string& path, int baudRate);
    // Releases whatever Open acquired; safe on a closed or half-open port.
    void Close();
    bool IsOpen() const { return line_->IsOpen(); }
    // True once the open device hung up (unplugged, reset): it never answers again, and a
    // device that comes back is a new one to open.
    // Any thread may ask; the close forgets it.
    bool DeviceGone() const { return line_->HungUp(); }

    // PURGE_* mask; 1 on success.
    int Purge(unsigned flags);
    // 1 when all bytes went out within the write time-out.
    int Write(const void* data, int length);
    // One burst: waits for the first byte, then collects until the line is quiet, the
    // buffer is full or the burst time-out ends it. Returns the bytes placed, not
    // terminated; 0 for no input and for every failure.
    int Read(void* buffer, int capacity, BurstRule rule = BurstRule::Port);
    // The collecting half of Read, for input already waiting; gives up after waitMs.
    int ReadQueued(void* buffer, int capacity, int waitMs, BurstRule rule = BurstRule::Port);

    // Quick replies: with a test set, a burst whose bytes pass it ends after the settle gap
    // of the timing; nullptr (the default) keeps every burst to the full silence. Set at
    // the service start; a read under way keeps the rule it began with. With `answerEnd`
    // given, a reply that ended by silence without any answer still owes its final result
    // (a modem that sends it late): the next burst's first answer is that one, and only an
    // answer behind it ends that burst early. `bareTest` is the rule of BurstRule::Bare.
    void SetQuickEnd(BurstEndTest test, AnswerEnd answerEnd = nullptr,
                     BurstEndTest bareTest = nullptr) {
        quickAnswerEnd_.store(answerEnd, std::memory_order_release);
        bareEnd_.store(bareTest, std::memory_order_release);
        quickEnd_.store(test, std::memory_order_release);
        answerOwed_.store(false, std::memory_order_release);
        answerAwaited_.store(false, std::memory_order_release);
    }
    bool QuickReplies() const { return quickEnd_.load(std::memory_order_acquire) != nullptr; }

    // Waits waitMs unless the port is interrupted first; 1 when the whole wait passed.
    int Pause(int waitMs) { return line_->Sleep(waitMs) ? 1 : 0; }

    // Makes every wait of this port return at once, failing, until the port is closed.
    void Interrupt() { line_->Wake(); }

    // The time by the line's clock: every deadline of a dialogue over this port is
    // measured with it.
    serial::LineClock::time_point Now() const { return line_->Now(); }

    // Runs this port over another line instead of its serial device; the line must outlive
    // the port's use of it. Tests only, before the port is opened: the library's own port
    // keeps its device.
    void AttachLine(serial::IByteLine& line) { line_ = &line; }

    const std::string& DeviceName() const { return deviceName_; }

    // Tests shorten the time limits of their own instance.
    void SetTiming(const serial::SerialTiming& timing) { timing_ = timing; }
    const serial::SerialTiming& Timing() const { return timing_; }

private:
    bool OpenPort(const std::string& path);
    bool ConfigurePort(int baudRate);
    // Quick replies: whether the burst so far ends with its own answer, and what it leaves
    // owed to the next burst.
    bool QuickComplete(std::string_view collected, BurstEndTest test) const;
    void NoteAnswers(std::string_view collected);

    serial::CSerialDevice device_;
    serial::IByteLine* line_ = &device_;
    serial::SerialTiming timing_ = serial::kDefaultTiming;
    std::string deviceName_;
    std::atomic<BurstEndTest> quickEnd_{nullptr};
    std::atomic<AnswerEnd> quickAnswerEnd_{nullptr};
    std::atomic<bool> answerOwed_{false};
    std::atomic<bool> answerAwaited_{false};  // written to, and no answer read since
    std::atomic<BurstEndTest> bareEnd_{nullptr};
};
