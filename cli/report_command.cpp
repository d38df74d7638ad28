#include "cli/report_command.h"

#include <QGuiApplication>
#include <memory>
#include <optional>

#include "archive/summary.h"
#include "fileio/safe_file.h"
#include "report/report.h"

namespace tavex::cli {

namespace {

// Qt's start looks into the runtime folder (for a sandbox's marker file); where the session has
// none (cron, a service), it would warn and make /tmp/runtime-<user>. The report is drawn with a
// private folder of its own instead, removed again afterwards.
class RuntimeFolder {
public:
    RuntimeFolder() {
#ifndef _WIN32
        if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) return;
        std::string error;
        if (!MakePrivateFolder("tavex-runtime", folder_, error)) return;
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(folder_));
#endif
    }
    ~RuntimeFolder() {
        if (folder_.empty()) return;
        qunsetenv("XDG_RUNTIME_DIR");
        RemoveTree(folder_);
    }
    RuntimeFolder(const RuntimeFolder&) = delete;
    RuntimeFolder& operator=(const RuntimeFolder&) = delete;

private:
    std::string folder_;
};

}  // namespace

bool WriteReportFile(const std::string& path, std::vector<archive::Result> results,
                     const archive::Period& period, int language, std::uint8_t unit,
                     const archive::Day& date, std::string& error) {
    // Fonts and the PDF writer need the application object. On Linux the tool draws without a
    // display, on Qt's offscreen platform, whatever the desktop; Windows always has its own
    // platform, whose fonts are the system's (the offscreen one there finds none).
    std::optional<RuntimeFolder> runtime;
    std::unique_ptr<QGuiApplication> application;
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        runtime.emplace();
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
