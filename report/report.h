#pragma once

#include <QImage>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/summary.h"

namespace tavex::report {

// What a report shows: the results of a period, oldest first, and their summary.
struct ReportRequest {
    std::vector<archive::Result> results;
    archive::Summary summary;
    // The period asked for (open ends: from the first or to the last result).
    archive::Period period;
    int language = 1;       // 0 Russian, 1 English
    std::uint8_t unit = 0;  // 0 Bq/m3, 1 pCi/l
    std::string model = "TAVEX QX482TDA";
    // The date of the report, as the computer's local date.
    archive::Day date;
};

// Each needs a QGuiApplication (the offscreen platform will do) for its fonts: without one
// RenderPdf (and WriteReport of a PDF) fails, RenderPageImage gives a null image and RenderHtml
// leaves the charts out.

// The report as an A4 PDF document.
bool RenderPdf(const ReportRequest& request, std::string& pdf, std::string& error);
// The report as one self-contained UTF-8 HTML page (inline CSS and SVG, no script, nothing
// fetched).
std::string RenderHtml(const ReportRequest& request);
// A page of the PDF report as an image, dpi dots per inch (page 0 is the first); a null image
// for a page the report does not have or a resolution outside 10-600 dpi.
QImage RenderPageImage(const ReportRequest& request, int page, int dpi);
// Renders into memory and writes path (.pdf, else HTML) through the one replace function.
bool WriteReport(const std::string& path, const ReportRequest& request, std::string& error);

}  // namespace tavex::report
