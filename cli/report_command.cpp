#include "cli/report_command.h"

#include <QGuiApplication>
#include <memory>

#include "archive/summary.h"
#include "report/report.h"

namespace tavex::cli {

bool WriteReportFile(const std::string& path, std::vector<archive::Result> results,
                     const archive::Period& period, int language, std::uint8_t unit,
                     const archive::Day& date, std::string& error) {
    // Fonts and the PDF writer need the application object. On Linux the tool draws without a
    // display, on Qt's offscreen platform, whatever the desktop; Windows always has its own
    // platform, whose fonts are the system's (the offscreen one there finds none).
    std::unique_ptr<QGuiApplication> application;
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
#ifndef _WIN32
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
        static int argc = 1;
        static char name[] = "tavex-cli";
        static char* argv[] = {name, nullptr};
        application = std::make_unique<QGuiApplication>(argc, argv);
    }
    report::ReportRequest request;
    request.summary = archive::Summarize(results);
    request.results = std::move(results);
    request.period = period;
    request.language = language;
    request.unit = unit;
    request.date = date;
    return report::WriteReport(path, request, error);
}

}  // namespace tavex::cli
