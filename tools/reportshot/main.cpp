// Renders a page of a report over the simulated meter's demo results as a PNG, for the docs.
//
//   tavex-reportshot OUT.png [--language en|ru] [--unit bq|pci] [--page N] [--dpi N]
#include <QBuffer>
#include <QGuiApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "archive/summary.h"
#include "fileio/safe_file.h"
#include "instrument/memory_map.h"
#include "instrument/sim/memory_image.h"
#include "report/report.h"

namespace {

// The demo memory's valid results, oldest first, as the archive would hold them.
std::vector<tavex::archive::Result> DemoResults() {
    using namespace tavex;
    const sim::MemoryImage image = sim::DemoMemoryImage();
    std::vector<archive::Result> results;
    const auto header = memory::DecodeHeader(image.data() + memory::kHeaderAddress);
    if (!header) return results;
    std::uint32_t slot = header->recordPointer;
    const std::uint32_t count = std::min<std::uint32_t>(header->recordCount, memory::kSlotCount);
    for (std::uint32_t i = 0; i < count; ++i) {
        RawRecord record;
        std::copy_n(image.begin() + memory::SlotAddress(slot), record.size(), record.begin());
        if (const auto result = archive::ResultOfRecord(record)) results.push_back(*result);
        slot = memory::PreviousSlot(slot);
    }
    std::stable_sort(results.begin(), results.end(),
                     [](const auto& a, const auto& b) { return a.Key() < b.Key(); });
    return results;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: tavex-reportshot OUT.png [--language en|ru] [--unit bq|pci] [--page N] "
                 "[--dpi N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string out = argv[1];
    tavex::report::ReportRequest request;
    int page = 0;
    int dpi = 100;
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) return Usage();
        const std::string value = argv[++i];
        if (option == "--language" && (value == "en" || value == "ru")) {
            request.language = value == "en" ? 1 : 0;
        } else if (option == "--unit" && (value == "bq" || value == "pci")) {
            request.unit = value == "pci" ? 1 : 0;
        } else if (option == "--page") {
            page = std::atoi(value.c_str());
        } else if (option == "--dpi") {
            dpi = std::atoi(value.c_str());
        } else {
            return Usage();
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    request.results = DemoResults();
    request.summary = tavex::archive::Summarize(request.results);
    // The date of the last result, so that the picture stays the same from one run to the next.
    if (request.summary.last) {
        request.date = {request.summary.last->year, request.summary.last->month,
                        request.summary.last->day};
    }
    const QImage image = tavex::report::RenderPageImage(request, page, dpi);
    if (image.isNull()) {
        std::fprintf(stderr, "tavex-reportshot: no page %d at %d dpi\n", page, dpi);
        return 1;
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) {
        std::fprintf(stderr, "tavex-reportshot: could not encode the picture\n");
        return 1;
    }
    std::string error;
    if (!tavex::ReplaceWholeFile(out, png.constData(), static_cast<std::size_t>(png.size()),
                                 error)) {
        std::fprintf(stderr, "tavex-reportshot: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
