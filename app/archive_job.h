#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"

namespace tavex {

// Opens the results archive the panel uses; nullptr with the reason.
using ArchiveOpener = std::function<std::unique_ptr<archive::Archive>(std::string& error)>;

// A report to write once the results are in the archive.
struct ReportTask {
    std::string path;
    int language = 1;
    std::uint8_t unit = 0;
    archive::Day date;
};

// Merges the results read from the meter into the archive off the GUI thread, and then writes
// a report of the whole archive when asked. The GUI thread starts it and looks at Done() when
// the job says it is done, and on its timer.
class ArchiveJob {
public:
    struct Outcome {
        bool merged = false;
        std::string archiveError;
        archive::MergeCounts counts;
        bool reportWritten = false;
        std::string reportError;
    };

    // nullptr when no thread could be started (the outcome is then given at once by Run).
    // whenDone, if given, is called on the job's thread once Done() holds.
    static std::shared_ptr<ArchiveJob> Start(ArchiveOpener opener, std::vector<RawRecord> records,
                                             std::optional<ReportTask> report,
                                             std::function<void()> whenDone = {});

    bool Done() const { return done_.load(std::memory_order_acquire); }
    // Waits until the job is done; false when it still runs after limit.
    bool Wait(std::chrono::milliseconds limit) const;
    // The outcome, once Done().
    const Outcome& Result() const { return outcome_; }

    // The job's work, on the calling thread.
    static Outcome Run(const ArchiveOpener& opener, const std::vector<RawRecord>& records,
                       const std::optional<ReportTask>& report);

private:
    std::atomic<bool> done_{false};
    // Written by the job's thread before done_ is set, read by others only after.
    Outcome outcome_;
};

}  // namespace tavex
