#include "app/archive_job.h"

#include <algorithm>
#include <thread>

#include "archive/summary.h"
#include "instrument/platform_thread.h"
#include "report/report.h"

namespace tavex {

std::shared_ptr<ArchiveJob> ArchiveJob::Start(ArchiveOpener opener, std::vector<RawRecord> records,
                                              std::optional<ReportTask> report,
                                              std::function<void()> whenDone) {
    auto job = std::make_shared<ArchiveJob>();
    const bool started = StartDetachedThread(
        [job, opener = std::move(opener), records = std::move(records),
         report = std::move(report), whenDone = std::move(whenDone)] {
            job->outcome_ = Run(opener, records, report);
            job->done_.store(true, std::memory_order_release);
            if (whenDone) whenDone();
        });
    return started ? job : nullptr;
}

bool ArchiveJob::Wait(std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!Done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

ArchiveJob::Outcome ArchiveJob::Run(const ArchiveOpener& opener,
                                    const std::vector<RawRecord>& records,
                                    const std::optional<ReportTask>& report) {
    Outcome outcome;
    std::vector<archive::Result> results;
    std::unique_ptr<archive::Archive> opened =
        opener ? opener(outcome.archiveError) : nullptr;
    if (!opener) outcome.archiveError = "no results archive";
    if (opened) {
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        outcome.merged = opened->Merge(records, now, outcome.counts, outcome.archiveError);
        if (outcome.merged && report) {
            std::string error;
            if (!opened->Read({}, results, error)) outcome.reportError = error;
        }
    }
    if (!report) return outcome;
    if (!outcome.merged) {
        // Without the archive the report shows what the meter holds now.
        results.clear();
        for (const RawRecord& record : records) {
            if (auto result = archive::ResultOfRecord(record)) results.push_back(*result);
        }
        std::sort(results.begin(), results.end(),
                  [](const archive::Result& a, const archive::Result& b) {
                      return a.Key() < b.Key();
                  });
    }
    if (!outcome.reportError.empty()) return outcome;
    report::ReportRequest request;
    request.summary = archive::Summarize(results);
    request.results = std::move(results);
    request.language = report->language;
    request.unit = report->unit;
    request.date = report->date;
    outcome.reportWritten = report::WriteReport(report->path, request, outcome.reportError);
    return outcome;
}

}  // namespace tavex
