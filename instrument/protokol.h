#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "instrument/hid_platform.h"
#include "instrument/local_clock.h"
#include "instrument/usb.h"

namespace tavex {

// Header status values.
inline constexpr std::uint8_t kHeaderValid = 85;
inline constexpr std::uint8_t kHeaderInvalid = 18;

// Command codes of the exchange thread.
enum : std::uint8_t {
    kCommandReadRecords = 1,
    kCommandReadHeader = 2,
    kCommandClearMemory = 3,
    kCommandReadRange = 4,
    kCommandSetClock = 6,
    kCommandConnectStep = 7,
    kCommandPoll = 8,
    kCommandNone = 9,
    kCommandReadImage = 10,
};

// The timer the exchange form asks its host for: the host (a QTimer in the panel, a loop in
// the command-line tool) calls Timer1Timer every Interval milliseconds while Enabled.
struct ExchangeTimer {
    std::atomic<int> Interval{0};
    std::atomic<bool> Enabled{false};
};

// The exchange form: owns the one USB object, runs every meter command on a short-lived
// detached thread, watches the meter's presence and keeps the exchange state the rest of the
// program reads. Created through Create; each exchange thread holds a reference, so the state
// outlives a form dropped while a command still runs.
class TForm2 : public std::enable_shared_from_this<TForm2> {
public:
    static std::shared_ptr<TForm2> Create(std::shared_ptr<HidPlatform> platform,
                                          LocalClock clock = SystemLocalTime);
    ~TForm2();
    TForm2(const TForm2&) = delete;
    TForm2& operator=(const TForm2&) = delete;

    void FormCreate();
    void Timer1Timer();

    // Entry points for the rest of the program. All but PollInstrument return at once while
    // the meter is not connected.
    void PollInstrument();
    void ReadMemoryHeader();    // waits until the header has been read
    void ClearMemory();         // returns at once; the caller watches the busy flag
    void SetInstrumentClock();  // waits until the clock has been sent
    // Reads the next n older records, oldest first, into buffer (8 * n bytes); returns at once.
    // False when no read was started (not connected, or n outside 1..255).
    bool ReadRecords(std::uint8_t* buffer, unsigned n);
    // Reads a memory image (8192 bytes): settings bytes 2 and 3, the header and the record
    // ring; every other byte 0. Waits; false when not connected or a read failed.
    bool ReadMemoryImage(std::uint8_t* image);

    // Blocks until the busy flag is clear.
    void WaitWhileBusy();
    // True when the last ReadRecords, ClearMemory, SetInstrumentClock or ReadMemoryImage
    // carried out all its transfers.
    bool LastCommandSucceeded() const;
    // True while another program holds the meter: the latest exchange to end (a poll, say)
    // failed because the meter's lock stayed taken for the whole wait. Cleared by the next
    // exchange that succeeds (or fails for another reason).
    bool MeterInUse() const;
    // Waits, at most for limit, until no exchange thread runs; true when none does.
    bool WaitForExchangeThreads(std::chrono::milliseconds limit);
    // Called on the exchange thread once a poll, a record read or a clearing has ended and its
    // flag is free again, so that a host can take the next step at once instead of on its next
    // timer tick. It must only hand the work on (post it to the host's thread). Setting an empty
    // notice returns once no call of the previous one is running; none follows.
    void SetCommandEndNotice(std::function<void()> notice);

    // The exchange machinery.
    void StartExchangeThread();
    unsigned ExchangeThreadProc(std::uint8_t command);
    bool TransferRange(std::uint32_t first, std::uint32_t end, std::uint8_t requestCode,
                       std::uint8_t* data);
    void OnTransferOk();
    void OnTransferFailed();
    void ReadInstrumentSettings();

    USB& Usb() { return *usb_; }
    // The local time sent by the last SetInstrumentClock.
    LocalDateTime LastClockSent() const;

    ExchangeTimer Timer1;

    // Exchange state read by the rest of the program.
    std::atomic<std::uint8_t> connected{0};
    std::atomic<std::uint8_t> settingsRead{0};
    std::atomic<std::uint8_t> busy{0};
    std::atomic<std::uint8_t> instrumentLanguage{0};  // 0 Russian, 1 English
    std::atomic<std::uint8_t> instrumentUnit{0};      // 0 Bq/m3, 1 pCi/l
    std::atomic<std::uint32_t> recordCapacity{0};
    std::atomic<std::uint8_t> headerStatus{kHeaderInvalid};
    std::atomic<std::uint32_t> recordPointer{0};
    std::atomic<std::uint32_t> recordCount{0};

    // Exchange state of the link itself.
    std::atomic<std::uint8_t> commandCode{kCommandNone};
    std::uint32_t parameterA = 0;
    std::uint32_t parameterB = 0;
    std::uint8_t exchangeBuffer[16] = {};
    std::uint8_t* blockPointer = nullptr;
    std::atomic<std::uint8_t> linkLost{0};
    std::atomic<std::uint8_t> headerRead{0};

private:
    TForm2(std::shared_ptr<HidPlatform> platform, LocalClock clock);

    // Starts the given command on a new thread; the caller holds the command's flag.
    void StartCommand(std::uint8_t command);
    // Takes the busy flag for a command of an entry point; false (flag left alone) when the
    // meter was lost while waiting for it.
    bool AcquireForCommand(std::atomic<std::uint8_t>& flag);
    std::atomic<std::uint8_t>& FlagOf(std::uint8_t command);
    void ReadHeaderCommand();
    bool ReadRecordsCommand();
    bool ReadImageCommand();

    std::unique_ptr<USB> usb_;
    LocalClock clock_;
    // 1 while a connect sequence runs: it must not run twice at once, and no poll starts
    // between its steps.
    std::atomic<std::uint8_t> connecting_{0};
    std::atomic<std::uint8_t> commandOk_{0};
    // The header read runs beside the busy-guarded commands, so it has a buffer of its own.
    std::uint8_t headerBuffer_[16] = {};
    LocalDateTime clockSent_;
    mutable std::mutex clockMutex_;
    std::function<void()> commandEndNotice_;
    std::mutex noticeMutex_;

    // The running exchange threads, shared with them so that each can count itself out after
    // it has let go of the form.
    struct ThreadCount {
        std::mutex mutex;
        std::condition_variable done;
        int running = 0;
        void Started();
        void Ended();
    };
    std::shared_ptr<ThreadCount> threads_ = std::make_shared<ThreadCount>();
};

}  // namespace tavex
