#include "instrument/protokol.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "instrument/memory_map.h"
#include "instrument/platform_thread.h"

namespace tavex {

namespace {

constexpr auto kAcquire = std::memory_order_acquire;
constexpr auto kRelease = std::memory_order_release;

// The flag that the command running on this thread holds (busy, or header-read for the header
// read); a connect sequence started from inside the command lends it out while it runs.
thread_local std::atomic<std::uint8_t>* t_heldFlag = nullptr;
// The command this thread runs. Only a poll reconnects: a command whose caller waits for it
// must not lend its flag to a connect sequence, or the caller would go on before it ended.
thread_local std::uint8_t t_command = kCommandNone;

// Blocks until the flag is clear, then sets it; no two threads can take it together.
void AcquireFlag(std::atomic<std::uint8_t>& flag) {
    for (;;) {
        std::uint8_t expected = 0;
        if (flag.compare_exchange_strong(expected, 1, std::memory_order_acq_rel, kAcquire)) return;
        WaitForFlagChange(flag, expected);
    }
}

void ReleaseFlag(std::atomic<std::uint8_t>& flag) {
    flag.store(0, kRelease);
    WakeFlagWaiters(flag);
}

void WaitClear(std::atomic<std::uint8_t>& flag) {
    for (;;) {
        const std::uint8_t value = flag.load(kAcquire);
        if (value == 0) return;
        WaitForFlagChange(flag, value);
    }
}

// Whether LastCommandSucceeded speaks of the command: polls and the connect sequence's steps
// are not what a caller asks about.
bool ReportsResult(std::uint8_t command) {
    return command == kCommandReadRecords || command == kCommandClearMemory ||
           command == kCommandSetClock || command == kCommandReadImage;
}

// The commands whose end a host waits for on its own: a poll (the meter came or went, or the
// busy flag is free again), a chunk of records, a clearing.
bool NoticesEnd(std::uint8_t command) {
    return command == kCommandPoll || command == kCommandReadRecords ||
           command == kCommandClearMemory;
}

}  // namespace

std::shared_ptr<TForm2> TForm2::Create(std::shared_ptr<HidPlatform> platform, LocalClock clock) {
    return std::shared_ptr<TForm2>(new TForm2(std::move(platform), std::move(clock)));
}

TForm2::TForm2(std::shared_ptr<HidPlatform> platform, LocalClock clock)
    : usb_(std::make_unique<USB>(std::move(platform))), clock_(std::move(clock)) {}

TForm2::~TForm2() = default;

void TForm2::FormCreate() {
    Timer1.Interval.store(1000);
    Timer1.Enabled.store(true);
    commandCode.store(kCommandNone, kRelease);
    connected.store(0, kRelease);
    busy.store(0, kRelease);
    settingsRead.store(0, kRelease);
    linkLost.store(0, kRelease);
    // Start in the lost state: the first successful poll connects.
    OnTransferFailed();
}

void TForm2::Timer1Timer() {
    Timer1.Interval.store(1000);
    PollInstrument();
}

void TForm2::PollInstrument() {
    if (connecting_.load(kAcquire)) return;
    std::uint8_t expected = 0;
    if (!busy.compare_exchange_strong(expected, 1, std::memory_order_acq_rel, kAcquire)) return;
    StartCommand(kCommandPoll);
}

void TForm2::ReadMemoryHeader() {
    if (!connected.load(kAcquire)) return;
    headerStatus.store(kHeaderInvalid, kRelease);
    if (!AcquireForCommand(headerRead)) return;
    StartCommand(kCommandReadHeader);
    WaitClear(headerRead);
}

void TForm2::ClearMemory() {
    if (!connected.load(kAcquire)) return;
    if (!AcquireForCommand(busy)) return;
    parameterA = memory::kHeaderAddress;
    parameterB = memory::kHeaderAddress + memory::kHeaderSize;
    memory::MemoryHeader cleared;
    cleared.recordPointer = static_cast<std::uint16_t>(recordPointer.load(kAcquire));
    cleared.recordCount = 0;
    recordCount.store(0, kRelease);
    const auto bytes = memory::EncodeHeader(cleared);
    std::copy(bytes.begin(), bytes.end(), exchangeBuffer);
    StartCommand(kCommandClearMemory);
}

void TForm2::SetInstrumentClock() {
    if (!connected.load(kAcquire)) return;
    const LocalDateTime now = clock_();
    if (!AcquireForCommand(busy)) return;
    exchangeBuffer[0] = static_cast<std::uint8_t>(now.second);
    exchangeBuffer[1] = static_cast<std::uint8_t>(now.minute);
    exchangeBuffer[2] = static_cast<std::uint8_t>(now.hour);
    exchangeBuffer[3] = static_cast<std::uint8_t>(now.day);
    exchangeBuffer[4] = static_cast<std::uint8_t>(now.month);
    exchangeBuffer[5] = static_cast<std::uint8_t>(now.year % 100);
    {
        std::lock_guard<std::mutex> lock(clockMutex_);
        clockSent_ = now;
    }
    StartCommand(kCommandSetClock);
    WaitClear(busy);
}

bool TForm2::ReadRecords(std::uint8_t* buffer, unsigned n) {
    if (!connected.load(kAcquire) || !buffer || n == 0 || n > 255) return false;
    if (!AcquireForCommand(busy)) return false;
    exchangeBuffer[0] = static_cast<std::uint8_t>(n);
    blockPointer = buffer;
    StartCommand(kCommandReadRecords);
    return true;
}

bool TForm2::ReadMemoryImage(std::uint8_t* image) {
    if (!connected.load(kAcquire) || !image) return false;
    if (!AcquireForCommand(busy)) return false;
    blockPointer = image;
    StartCommand(kCommandReadImage);
    WaitClear(busy);
    return LastCommandSucceeded();
}

void TForm2::WaitWhileBusy() {
    WaitClear(busy);
}

bool TForm2::LastCommandSucceeded() const {
    return commandOk_.load(kAcquire) != 0;
}

bool TForm2::MeterInUse() const {
    return usb_->LastFailure() == ExchangeFailure::kMeterInUse;
}

LocalDateTime TForm2::LastClockSent() const {
    std::lock_guard<std::mutex> lock(clockMutex_);
    return clockSent_;
}

bool TForm2::AcquireForCommand(std::atomic<std::uint8_t>& flag) {
    AcquireFlag(flag);
    // The meter may have been lost (and a connect sequence begun) while this waited.
    if (!connected.load(kAcquire)) {
        ReleaseFlag(flag);
        return false;
    }
    return true;
}

std::atomic<std::uint8_t>& TForm2::FlagOf(std::uint8_t command) {
    return command == kCommandReadHeader ? headerRead : busy;
}

void TForm2::StartExchangeThread() {
    StartCommand(commandCode.load(kAcquire));
}

void TForm2::StartCommand(std::uint8_t command) {
    commandCode.store(command, kRelease);
    // Until the command ends, its result reads as failed: never an earlier command's success.
    if (ReportsResult(command)) commandOk_.store(0, kRelease);
    threads_->Started();
    bool started = false;
    try {
        started =
            StartDetachedThread([self = shared_from_this(), threads = threads_, command]() mutable {
                self->ExchangeThreadProc(command);
                // Counted as ended only once this thread no longer holds the form.
                self.reset();
                threads->Ended();
            });
    } catch (...) {
    }
    if (!started) {
        // No thread: the command fails as a lost link would, and its flag is given back.
        OnTransferFailed();
        ReleaseFlag(FlagOf(command));
        threads_->Ended();
    }
}

void TForm2::ThreadCount::Started() {
    std::lock_guard<std::mutex> lock(mutex);
    ++running;
}

void TForm2::ThreadCount::Ended() {
    std::lock_guard<std::mutex> lock(mutex);
    --running;
    done.notify_all();
}

void TForm2::SetCommandEndNotice(std::function<void()> notice) {
    std::lock_guard<std::mutex> lock(noticeMutex_);
    commandEndNotice_ = std::move(notice);
}

bool TForm2::WaitForExchangeThreads(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(threads_->mutex);
    return threads_->done.wait_for(lock, limit, [this] { return threads_->running == 0; });
}

unsigned TForm2::ExchangeThreadProc(std::uint8_t command) {
    std::atomic<std::uint8_t>& flag = FlagOf(command);
    t_heldFlag = &flag;
    t_command = command;
    bool ok = true;
    switch (command) {
        case kCommandReadRecords:
            ok = ReadRecordsCommand();
            break;
        case kCommandReadHeader:
            ReadHeaderCommand();
            break;
        case kCommandClearMemory:
            ok = TransferRange(parameterA, parameterB, memory::kRequestWrite, exchangeBuffer);
            break;
        case kCommandReadRange:
            ok = TransferRange(parameterA, parameterB, memory::kRequestRead, blockPointer);
            break;
        case kCommandSetClock:
            ok = TransferRange(0, 5, memory::kRequestSetClock, exchangeBuffer);
            break;
        case kCommandConnectStep:
            ok = TransferRange(1, 5, memory::kRequestConnectStep, exchangeBuffer);
            break;
        case kCommandPoll:
            ok = TransferRange(memory::kPollAddress, memory::kPollAddress + 1, memory::kRequestRead,
                               exchangeBuffer);
            break;
        case kCommandReadImage:
            ok = ReadImageCommand();
            break;
        default:
            break;
    }
    t_heldFlag = nullptr;
    t_command = kCommandNone;
    if (ReportsResult(command)) commandOk_.store(ok ? 1 : 0, kRelease);
    ReleaseFlag(flag);
    if (NoticesEnd(command)) {
        std::lock_guard<std::mutex> lock(noticeMutex_);
        if (commandEndNotice_) commandEndNotice_();
    }
    return 0;
}

bool TForm2::TransferRange(std::uint32_t first, std::uint32_t end, std::uint8_t requestCode,
                           std::uint8_t* data) {
    while (first < end) {
        const auto length = static_cast<std::uint8_t>(std::min<std::uint32_t>(end - first, 8));
        if (!usb_->Transact(requestCode, first, length, data)) {
            OnTransferFailed();
            return false;
        }
        OnTransferOk();
        first += length;
        data += length;
    }
    return true;
}

void TForm2::OnTransferFailed() {
    linkLost.store(1, std::memory_order_seq_cst);
    connected.store(0, std::memory_order_seq_cst);
}

void TForm2::OnTransferOk() {
    if (!linkLost.load(kAcquire) || t_command != kCommandPoll) return;
    // Only one connect sequence at a time; a transfer that succeeds inside a running one
    // leaves the link marked lost, so that the sequence ends without connecting.
    std::uint8_t expected = 0;
    if (!connecting_.compare_exchange_strong(expected, 1, std::memory_order_acq_rel, kAcquire)) {
        return;
    }
    linkLost.store(0, kRelease);
    std::atomic<std::uint8_t>* held = t_heldFlag;
    // Lend this command's flag to the sequence, whose own commands take it.
    if (held) ReleaseFlag(*held);
    settingsRead.store(0, kRelease);
    ReadInstrumentSettings();
    // A transfer that failed inside the sequence marked the link lost again: stay unconnected
    // and let the next successful poll connect afresh.
    if (!linkLost.load(std::memory_order_seq_cst)) {
        connected.store(1, std::memory_order_seq_cst);
        // A transfer that failed meanwhile on another thread wins: not connected.
        if (linkLost.load(std::memory_order_seq_cst)) connected.store(0, std::memory_order_seq_cst);
    }
    connecting_.store(0, kRelease);
    if (held) AcquireFlag(*held);
}

void TForm2::ReadInstrumentSettings() {
    settingsRead.store(0, kRelease);

    AcquireFlag(busy);
    parameterA = memory::kLanguageAddress;
    parameterB = memory::kUnitAddress + 1;
    blockPointer = exchangeBuffer + 7;
    StartCommand(kCommandReadRange);
    WaitClear(busy);

    if (exchangeBuffer[7] > 1) exchangeBuffer[7] = 0;
    instrumentLanguage.store(exchangeBuffer[7], kRelease);
    instrumentUnit.store(exchangeBuffer[8] > 1 ? 0 : exchangeBuffer[8], kRelease);

    AcquireFlag(busy);
    parameterA = memory::kUnusedSettingAddress;
    parameterB = memory::kUnusedSettingAddress + 1;
    blockPointer = exchangeBuffer;
    StartCommand(kCommandReadRange);
    WaitClear(busy);

    AcquireFlag(busy);
    StartCommand(kCommandConnectStep);
    WaitClear(busy);

    recordCapacity.store(memory::SlotsForMemorySizeCode(exchangeBuffer[9]), kRelease);
    settingsRead.store(1, kRelease);

    headerStatus.store(kHeaderInvalid, kRelease);
    AcquireFlag(headerRead);
    StartCommand(kCommandReadHeader);
    WaitClear(headerRead);
}

void TForm2::ReadHeaderCommand() {
    std::uint8_t* header = headerBuffer_;
    if (recordCapacity.load(kAcquire) == 0 ||
        !TransferRange(24, 32, memory::kRequestHeaderPrelude, header)) {
        return;
    }
    std::uint8_t status = kHeaderInvalid;
    // A header that could not be read is a lost link, not a header that is not valid: callers
    // must not take it for the meter's answer.
    if (!usb_->ReadBlock(memory::kHeaderAddress, memory::kHeaderReadSize, header)) {
        OnTransferFailed();
    } else {
        const auto decoded = memory::DecodeHeader(header);
        // A pointer beyond the ring would send the record reads outside it: such a header is
        // not valid.
        if (decoded && decoded->recordPointer <= memory::kSlotCount) {
            recordPointer.store(decoded->recordPointer, kRelease);
            recordCount.store(decoded->recordCount, kRelease);
            status = kHeaderValid;
        }
    }
    headerStatus.store(status, kRelease);
}

bool TForm2::ReadRecordsCommand() {
    const std::uint32_t n = exchangeBuffer[0];
    std::uint32_t p = recordPointer.load(kAcquire);
    if (p == 0) p = 1;
    if (p > memory::kSlotCount) return false;  // never set so by a valid header
    std::uint32_t oldest;
    bool ok;
    if (p >= n) {
        oldest = p - n + 1;
        ok = usb_->ReadBlock(static_cast<std::uint16_t>(memory::SlotAddress(oldest)),
                             static_cast<std::uint16_t>(8 * n), blockPointer);
    } else {
        const std::uint32_t older = n - p;  // records before the wrap, at the ring's end
        oldest = memory::kSlotCount + 1 - older;
        ok = usb_->ReadBlock(memory::kRingAddress, static_cast<std::uint16_t>(8 * p),
                             blockPointer + 8 * older) &&
             usb_->ReadBlock(static_cast<std::uint16_t>(memory::SlotAddress(oldest)),
                             static_cast<std::uint16_t>(8 * older), blockPointer);
    }
    if (!ok) {
        OnTransferFailed();
        return false;
    }
    recordPointer.store(memory::PreviousSlot(oldest), kRelease);
    return true;
}

bool TForm2::ReadImageCommand() {
    std::uint8_t* image = blockPointer;
    std::memset(image, 0, memory::kMemorySize);
    if (!TransferRange(memory::kLanguageAddress, memory::kUnitAddress + 1, memory::kRequestRead,
                       image + memory::kLanguageAddress)) {
        return false;
    }
    for (std::uint32_t address = memory::kHeaderAddress; address < memory::kRingEnd;) {
        const auto count = static_cast<std::uint16_t>(
            std::min<std::uint32_t>(memory::kRingEnd - address, memory::kMaxBlockRead));
        if (!usb_->ReadBlock(static_cast<std::uint16_t>(address), count, image + address)) {
            OnTransferFailed();
            return false;
        }
        address += count;
    }
    return true;
}

}  // namespace tavex
