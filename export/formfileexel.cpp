#include "export/formfileexel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "export/text1251.h"

namespace tavex {

namespace {

constexpr const char* kCaptions[7][2] = {
    {"№ Измерения", "№ Measure"},
    {"Значение, Бк/м3", "Value, Bq/m3"},
    {"Значение, пКи/л", "Value, pCi/l"},
    {"Время", "Time"},
    {"Дата", "Date"},
    {"Результаты измерений", "Monitoring results"},
    {"Значение, Бк/м<sup>3</sup>", "Value, Bq/m<sup>3</sup>"},
};

// The page declares its encoding right after <head>, so that "№" and the Russian captions read
// correctly whatever the browser's default.
constexpr const char* kHtmlHead =
    "<html><head><meta charset=\"windows-1251\"><style type=\"text/css\">"
    ".tableheader{font-weight:bold;background-color:#ddd;border-bottom: 2px solid #333;"
    "padding: 2px 5px;vertical-align: bottom;}"
    ".a1{background-color:#fff;border-bottom: 1px solid #555;padding: 2px 5px;}"
    ".a2{background-color:#eee;border-bottom: 1px solid #555;padding: 2px 5px;}"
    "table{border: 2px solid #333;border-spacing: 0;text-align: center;}"
    "</style></head><body><center><table>";
constexpr const char* kHtmlTail = "</table>\t</body></html>";

std::string SystemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

const char* Caption(int number, int language) {
    if (number < 0 || number > 6) return "";
    return kCaptions[number][language == 1 ? 1 : 0];
}

std::string ValueText(const ConvertedValue& value, std::uint8_t unit) {
    if (unit != 1) return value.overRange ? ">10000" : std::to_string(value.integer);
    if (value.overRange) return ">270";
    std::string text = std::to_string(value.integer);
    if (value.tenths != 0) text += "," + std::to_string(value.tenths);
    return text;
}

std::string TwoDigits(int n) {
    return (n < 10 ? "0" : "") + std::to_string(n);
}

std::string PageTime(int hours, int minutes) {
    return std::to_string(hours) + ":" + TwoDigits(minutes);
}

std::string PageDate(int day, int month, int year) {
    return TwoDigits(day) + "." + TwoDigits(month) + ".20" + TwoDigits(year);
}

std::string WorkbookTime(int hours, int minutes) {
    return std::to_string(hours) + ":" + std::to_string(minutes);
}

std::string WorkbookDate(int day, int month, int year) {
    return std::to_string(day) + "." + std::to_string(month) + "." + std::to_string(year);
}

Formfileexel::Formfileexel(TForm2& exchange, Excel& excel, RawFile& file, Shell& shell,
                           const std::uint8_t& language)
    : exchange_(exchange), excel_(excel), file_(file), shell_(shell), language_(language) {}

Formfileexel::~Formfileexel() {
    AbortExport();
}

bool Formfileexel::BeginExport(std::uint8_t format, const std::string& fileName) {
    if (state_ != kExportIdle) {
        error_ = "an export is already running";
        return false;
    }
    exchange_.Usb().ReceivedBytes(true);
    state_ = kExportStarting;
    finished_ = 0;
    failed_ = false;
    error_.clear();
    recordsRequested_ = 0;
    chunkSize_ = 0;
    pendingSize_ = 0;
    reading_ = 0;
    chunkRead_ = false;
    rowCounter_ = 7;
    // The ring holds 1010 records; a larger count would read it round again.
    recordsToRead_ = std::min<std::uint32_t>(exchange_.recordCount.load(std::memory_order_acquire),
                                             memory::kSlotCount);
    progressDivisor_ = recordsToRead_ * 8 / 6;
    fileName_ = fileName;
    format_ = format;
    // The unit stays the one of the start, captions and rows alike.
    unit_ = exchange_.instrumentUnit.load(std::memory_order_acquire) == 1 ? 1 : 0;

    recordsRead_.clear();
    recordsRead_.reserve(recordsToRead_);
    // A target that may not be replaced is refused before anything is read or written.
    std::string refused;
    if (format != kFormatReadOnly && !FileReplacement::CheckTarget(fileName, {}, refused)) {
        Fail(refused);
        return false;
    }

    bool started = false;
    if (format == kFormatHtm) {
        started = WriteHtmlHead();
    } else if (format == kFormatCsv) {
        started = WriteCsvHeader();
    } else if (format == kFormatXls) {
        started = PrepareWorkbook();
        if (!started) error_ = "the spreadsheet application could not be started";
    } else if (format == kFormatReadOnly) {
        started = true;
    } else {
        error_ = "unknown export format";
    }
    if (!started) {
        Fail(error_);
        return false;
    }
    state_ = kExportRunning;
    return RequestNextChunk();
}

bool Formfileexel::RequestNextChunk() {
    const std::uint32_t n =
        std::min<std::uint32_t>(recordsToRead_ - recordsRequested_, kChunkRecords);
    chunkRead_ = false;
    if (n > 0) {
        if (!exchange_.ReadRecords(chunks_[reading_].data(), n)) {
            Fail("the meter is not connected; the export was not finished");
            return false;
        }
        chunkRead_ = true;
    }
    recordsRequested_ += n;
    pendingSize_ = static_cast<std::uint8_t>(n);
    return true;
}

void Formfileexel::ExportNext() {
    if (state_ != kExportRunning) return;
    if (exchange_.busy.load(std::memory_order_acquire)) return;  // the chunk has not arrived
    // Only a chunk that was read whole is written, and each one once.
    if (chunkRead_ && !exchange_.LastCommandSucceeded()) {
        Fail("the meter stopped answering; the export was not finished");
        return;
    }
    // The chunk that arrived is written while the meter already sends the next one.
    writing_ = reading_;
    chunkSize_ = pendingSize_;
    pendingSize_ = 0;
    chunkRead_ = false;
    const bool more = recordsToRead_ > recordsRequested_;
    if (more) {
        reading_ ^= 1;
        if (!RequestNextChunk()) return;
    }
    WriteChunk();
    if (failed_ || more) return;
    Finish();
}

void Formfileexel::WriteChunk() {
    for (unsigned k = chunkSize_; k >= 1; --k) {
        RawRecord record;
        std::copy_n(Entry(k), record.size(), record.begin());
        recordsRead_.push_back(record);
    }
    bool ok = true;
    if (format_ == kFormatHtm) {
        ok = WriteHtmlChunk();
    } else if (format_ == kFormatCsv) {
        ok = WriteCsvChunk();
    } else if (format_ == kFormatXls) {
        WriteWorkbookChunk();
    }
    chunkSize_ = 0;
    if (!ok) Fail(WriteError());
}

void Formfileexel::Finish() {
    bool ok = true;
    if (format_ == kFormatHtm) {
        ok = FinishHtml();
    } else if (format_ == kFormatCsv) {
        ok = FinishCsv();
    } else if (format_ == kFormatXls) {
        excel_.ShowApplication();
        std::string why;
        if (!excel_.SaveWorkbookAs(fileName_, &why)) {
            // The built-in engine's reasons name the file already.
            Fail(why.find(fileName_) != std::string::npos ? why
                                                          : "could not save " + fileName_ + ": " + why);
            return;
        }
    }
    if (!ok) return;  // already failed with its reason
    state_ = kExportIdle;
    finished_ = 1;
}

void Formfileexel::Fail(const std::string& reason) {
    failed_ = true;
    error_ = reason;
    finished_ = 0;
    AbortExport();
}

void Formfileexel::DropPartialFile() {
    if (!replacement_.Active()) return;
    file_.CloseFile();
    replacement_.Abandon();
}

std::string Formfileexel::WriteError() const {
    return replacement_.Error().empty() ? SystemError("could not write", fileName_)
                                        : replacement_.Error();
}

void Formfileexel::AbortExport() {
    // A chunk read still under way writes into the chunk buffer: let it end first, so that the
    // buffer is never written after the export (or this object) has gone.
    if (chunkRead_) {
        exchange_.WaitWhileBusy();
        chunkRead_ = false;
    }
    DropPartialFile();
    if (format_ == kFormatXls && state_ != kExportIdle) excel_.CloseWorkbook();
    state_ = kExportIdle;
}

std::uint8_t Formfileexel::ExportProgress() const {
    if (finished_) return kProgressDone;
    if (progressDivisor_ == 0) return 1;
    // Other block reads (a header read) count too; an unfinished export never shows done.
    const std::uint32_t quotient = exchange_.Usb().ReceivedBytes(false) / progressDivisor_;
    return static_cast<std::uint8_t>(std::min<std::uint32_t>(quotient, kProgressDone - 1));
}

void Formfileexel::CloseWorkbook() {
    excel_.CloseWorkbook();
}

// ---- page and CSV file ----

bool Formfileexel::OpenPartialFile() {
    if (file_.IsOpen()) {
        error_ = "the file object is in use";
        return false;
    }
    if (!replacement_.Begin(fileName_)) {
        error_ = replacement_.Error();
        return false;
    }
    if (!file_.OpenDescriptor(replacement_.Duplicate())) {
        error_ = SystemError("could not write", fileName_);
        replacement_.Abandon();
        return false;
    }
    return true;
}

bool Formfileexel::WriteText(const std::string& utf8) {
    const std::string bytes = ToWindows1251(utf8);
    for (std::size_t done = 0; done < bytes.size();) {
        const auto count =
            static_cast<std::uint16_t>(std::min<std::size_t>(bytes.size() - done, 65535));
        if (!file_.WriteBytes(bytes.data() + done, count)) return false;
        done += count;
    }
    return true;
}

bool Formfileexel::MoveIntoPlace() {
    if (!file_.CloseFile() || !replacement_.Commit()) {
        Fail(WriteError());
        return false;
    }
    shell_.OpenDocument(fileName_);
    return true;
}

std::string Formfileexel::HtmlRow(const char* cellClass, const std::string* cells) {
    std::string row = "<tr>";
    for (int i = 0; i < 4; ++i) row += std::string("<td class=") + cellClass + cells[i] + "</td>";
    return row + "</tr>";
}

bool Formfileexel::WriteHtmlHead() {
    if (!OpenPartialFile()) return false;
    const std::string captions[4] = {Caption(0, Language()),
                                     Caption(Unit() == 1 ? 2 : 6, Language()),
                                     Caption(3, Language()), Caption(4, Language())};
    if (WriteText(kHtmlHead + HtmlRow("'tableheader'>", captions))) return true;
    error_ = WriteError();
    return false;
}

bool Formfileexel::WriteRows(const RowWriter& writeRow) {
    // The newest record of the chunk comes first; a record that fails the checks gets no row
    // and no number.
    for (unsigned k = chunkSize_; k >= 1; --k) {
        const std::uint8_t* record = Entry(k);
        if (!IsRecordValid(record)) continue;
        if (!writeRow(memory::DecodeRecord(record), rowCounter_ - 6)) return false;
        ++rowCounter_;
    }
    return true;
}

bool Formfileexel::WriteTextRows(const RowText& rowText) {
    // The whole chunk in one write; a chunk whose write failed has no row written.
    const std::int32_t firstRow = rowCounter_;
    const std::uint8_t firstToggle = rowClassToggle_;
    std::string text;
    text.reserve(kChunkRecords * 128);
    WriteRows([&](const memory::StoredRecord& r, std::int32_t number) {
        text += rowText(r, number);
        return true;
    });
    if (WriteText(text)) return true;
    rowCounter_ = firstRow;
    rowClassToggle_ = firstToggle;
    return false;
}

std::array<std::string, 4> Formfileexel::PageCells(const memory::StoredRecord& r,
                                                   std::int32_t number) const {
    return {std::to_string(number), ValueText(ConvertValue(r.raw, Unit()), Unit()),
            PageTime(r.hours, r.minutes), PageDate(r.day, r.month, r.year)};
}

bool Formfileexel::WriteHtmlChunk() {
    return WriteTextRows([this](const memory::StoredRecord& r, std::int32_t number) {
        const auto cells = PageCells(r, number);
        std::string row = HtmlRow(rowClassToggle_ ? "'a2'>" : "'a1'>", cells.data());
        rowClassToggle_ = rowClassToggle_ ? 0 : 1;
        return row;
    });
}

bool Formfileexel::FinishHtml() {
    if (!WriteText(kHtmlTail)) {
        Fail(WriteError());
        return false;
    }
    return MoveIntoPlace();
}

bool Formfileexel::WriteCsvHeader() {
    if (!OpenPartialFile()) return false;
    const std::string line = std::string(Caption(0, Language())) + ";" +
                             Caption(Unit() == 1 ? 2 : 1, Language()) + ";" +
                             Caption(3, Language()) + ";" + Caption(4, Language()) + "\r\n";
    if (WriteText(line)) return true;
    error_ = WriteError();
    return false;
}

bool Formfileexel::WriteCsvChunk() {
    return WriteTextRows([this](const memory::StoredRecord& r, std::int32_t number) {
        const auto cells = PageCells(r, number);
        return cells[0] + ";" + cells[1] + ";" + cells[2] + ";" + cells[3] + "\r\n";
    });
}

bool Formfileexel::FinishCsv() {
    return MoveIntoPlace();
}

// ---- workbook ----

bool Formfileexel::PrepareWorkbook() {
    if (!excel_.OpenWorkbook(1)) return false;
    excel_.RenameSheet(1, Caption(5, Language()));
    excel_.ActivateSheet(1);
    excel_.SelectRange(6, 5, 6, 8, false);
    excel_.SetBorderStyle(3, 3, 1);
    excel_.FormatRange(-4108, -4108, 10, 16, "ArialCur", 3, 3, 0, 0);
    const int captions[4] = {0, Unit() == 1 ? 2 : 1, 3, 4};
    const std::int32_t widths[4] = {25, 25, 10, 20};
    for (int i = 0; i < 4; ++i) {
        excel_.SelectCell(6, 5 + i);
        excel_.SetRowHeightAndColumnWidth(13, widths[i]);
        excel_.ApplyBorders();
        excel_.SetValue(Caption(captions[i], Language()));
        // The "3" of "Bq/m3" is raised; it is the 15th character in Russian, the 12th in English.
        if (i == 1 && Unit() != 1) excel_.SuperscriptCharacters(Language() == 1 ? 12 : 15, 1);
    }
    return true;
}

void Formfileexel::WriteWorkbookChunk() {
    const std::int32_t n = chunkSize_;
    excel_.SelectRange(rowCounter_, 5, rowCounter_ + n, 9, false);
    excel_.FormatRange(-4108, -4108, 10, 0, "ArialCur", 3, 3, 0, 0);
    WriteRows([this](const memory::StoredRecord& r, std::int32_t number) {
        const std::string cells[4] = {
            std::to_string(number), ValueText(ConvertValue(r.raw, Unit()), Unit()),
            WorkbookTime(r.hours, r.minutes), WorkbookDate(r.day, r.month, r.year)};
        for (int c = 0; c < 4; ++c) {
            excel_.SelectCell(rowCounter_, 5 + c);
            excel_.SetValue(cells[c]);
        }
        return true;
    });
}

}  // namespace tavex
