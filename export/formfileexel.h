#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "export/excel.h"
#include "export/files.h"
#include "export/shell.h"
#include "fileio/safe_file.h"
#include "instrument/memory_map.h"
#include "instrument/protokol.h"
#include "instrument/results.h"

namespace tavex {

// Export formats.
inline constexpr std::uint8_t kFormatHtm = 0;
inline constexpr std::uint8_t kFormatCsv = 1;
inline constexpr std::uint8_t kFormatXls = 2;
// Reads the stored results as an export does and writes no file (before a clearing, for the
// archive, for a report).
inline constexpr std::uint8_t kFormatReadOnly = 3;

// Export states.
inline constexpr std::uint8_t kExportIdle = 0;
inline constexpr std::uint8_t kExportStarting = 1;
inline constexpr std::uint8_t kExportRunning = 2;

inline constexpr unsigned kChunkRecords = 105;
// ExportProgress answers this once the export has finished.
inline constexpr std::uint8_t kProgressDone = 10;

// The captions of the exported table, by number and language (0 Russian, 1 English), UTF-8.
const char* Caption(int number, int language);

std::string ValueText(const ConvertedValue& value, std::uint8_t unit);
std::string TwoDigits(int n);
// Time and date as the page and the CSV file write them ("9:05", "07.03.2021").
std::string PageTime(int hours, int minutes);
std::string PageDate(int day, int month, int year);
// Time and date as the workbook is given them ("9:5", "7.3.21").
std::string WorkbookTime(int hours, int minutes);
std::string WorkbookDate(int day, int month, int year);

// The results export: reads the stored results chunk by chunk from the meter and writes them
// as an HTML page, a CSV file or a workbook. Every format replaces the chosen file only when the
// export has finished (by the program's one rule for replacing files), so an export that fails or
// is cut short leaves an earlier file of that name as it was.
class Formfileexel {
public:
    // language is the program's interface language byte (0 Russian, 1 English), read at each
    // export.
    Formfileexel(TForm2& exchange, Excel& excel, RawFile& file, Shell& shell,
                 const std::uint8_t& language);
    // An export still running when the object goes is aborted.
    ~Formfileexel();
    Formfileexel(const Formfileexel&) = delete;
    Formfileexel& operator=(const Formfileexel&) = delete;

    // Starts an export of the records the last memory-header read counted. False when it did
    // not start; ExportError then says why.
    bool BeginExport(std::uint8_t format, const std::string& fileName);
    // Writes the chunk that has arrived and asks for the next, or finishes. Call it while the
    // busy flag is clear.
    void ExportNext();
    // 0..9 while the export runs, 10 once it has finished.
    std::uint8_t ExportProgress() const;
    void CloseWorkbook();
    // Ends an export in progress: removes its unfinished file, discards a workbook under
    // construction, and frees the raw file object.
    void AbortExport();

    std::uint8_t ExportState() const { return state_; }
    bool ExportFinished() const { return finished_ != 0; }
    bool ExportFailed() const { return failed_; }
    const std::string& ExportError() const { return error_; }
    // Rows written by the current or last export.
    std::uint32_t RowsWritten() const { return static_cast<std::uint32_t>(rowCounter_ - 7); }
    const std::string& FileName() const { return fileName_; }
    // Every record the current or last export read, newest first, valid or not.
    const std::vector<RawRecord>& RecordsRead() const { return recordsRead_; }

private:
    bool RequestNextChunk();
    void WriteChunk();
    void Finish();
    void Fail(const std::string& reason);
    void DropPartialFile();

    using RowWriter = std::function<bool(const memory::StoredRecord&, std::int32_t number)>;
    // Writes a row for each valid record of the chunk that has arrived; false when one failed.
    bool WriteRows(const RowWriter& writeRow);
    using RowText = std::function<std::string(const memory::StoredRecord&, std::int32_t number)>;
    // Gathers the text of the chunk's rows and writes it at once; false when the write failed.
    bool WriteTextRows(const RowText& rowText);
    // Number, value, time and date as the page and the CSV file write them.
    std::array<std::string, 4> PageCells(const memory::StoredRecord& r, std::int32_t number) const;
    bool OpenPartialFile();
    bool WriteText(const std::string& utf8);
    bool WriteHtmlHead();
    bool WriteHtmlChunk();
    static std::string HtmlRow(const char* cellClass, const std::string* cells);
    bool FinishHtml();
    bool WriteCsvHeader();
    bool WriteCsvChunk();
    bool FinishCsv();
    bool PrepareWorkbook();
    void WriteWorkbookChunk();
    bool MoveIntoPlace();
    std::string WriteError() const;

    int Language() const { return language_ == 1 ? 1 : 0; }
    std::uint8_t Unit() const { return unit_; }
    // Record k (1-based, oldest first) of the chunk being written.
    const std::uint8_t* Entry(unsigned k) const { return chunks_[writing_].data() + 8 * (k - 1); }

    TForm2& exchange_;
    Excel& excel_;
    RawFile& file_;
    Shell& shell_;
    const std::uint8_t& language_;

    std::string fileName_;
    // The page or CSV file being written, put in place of the chosen file at the finish.
    FileReplacement replacement_;
    std::uint8_t format_ = kFormatHtm;
    std::uint8_t unit_ = 0;
    std::uint8_t state_ = kExportIdle;
    std::uint32_t recordsToRead_ = 0;
    std::uint32_t recordsRequested_ = 0;
    std::uint8_t chunkSize_ = 0;    // records of the chunk being written
    std::uint8_t pendingSize_ = 0;  // records of the chunk being read
    bool chunkRead_ = false;  // a read of the requested chunk was started
    std::int32_t rowCounter_ = 7;
    std::uint8_t finished_ = 0;
    std::uint32_t progressDivisor_ = 0;
    std::uint8_t rowClassToggle_ = 0;
    bool failed_ = false;
    std::string error_;
    // One chunk is read into while the other is written.
    std::array<std::array<std::uint8_t, 8 * kChunkRecords>, 2> chunks_{};
    unsigned reading_ = 0;
    unsigned writing_ = 0;
    std::vector<RawRecord> recordsRead_;
};

}  // namespace tavex
