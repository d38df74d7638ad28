#include "app/panel_program.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QProcess>
#include <QUrl>
#include <exception>

#include "app/menu1.h"
#include "app/tavex_m.h"
#include "archive/archive.h"
#include "export/automation/workbook_engine.h"
#include "instrument/platform_thread.h"

namespace tavex {

namespace {

class QtShell : public Shell {
public:
    bool OpenDocument(const std::string& path) override {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
    }
    bool StartCommand(const std::string& commandLine) override {
        QStringList words = QProcess::splitCommand(QString::fromStdString(commandLine));
        if (words.isEmpty()) return false;
        const QString program = words.takeFirst();
        return QProcess::startDetached(program, words);
    }
};

class QtMessageBox : public MessageBox {
public:
    void Show(const std::string& text, const std::string& caption, int flags) override {
        const QString title = QString::fromStdString(caption);
        const QString body = QString::fromStdString(text);
        if (flags == kMessageBoxError) {
            QMessageBox::critical(nullptr, title, body);
        } else {
            QMessageBox::information(nullptr, title, body);
        }
    }
};

bool RunSaveDialog(QFileDialog& dialog, QString& name, int& typeIndex) {
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    name = dialog.selectedFiles().first();
    typeIndex = static_cast<int>(dialog.nameFilters().indexOf(dialog.selectedNameFilter())) + 1;
    return typeIndex >= 1;
}

}  // namespace

int RunPanelProgram(int& argc, char** argv, std::shared_ptr<HidPlatform> platform,
                    const std::function<void(TForm1&)>& extra, bool simulated) {
    QApplication app(argc, argv);
    app.setWindowIcon(TavexIcon());
    int code = 0;
    std::shared_ptr<TForm2> form2;
    try {
        PanelServices services;
        services.shell = std::make_shared<QtShell>();
        services.messageBox = std::make_shared<QtMessageBox>();
        // Excel when it is installed (Windows), else the built-in engine.
        services.spreadsheet = automation::MakeSpreadsheetFactory(services.shell);
        services.runSaveDialog = RunSaveDialog;
        services.openArchive = [simulated](std::string& error) {
            archive::Location location;
            if (!archive::Locate(std::string(), simulated, archive::SystemEnvironment, location,
                                 error)) {
                return std::unique_ptr<archive::Archive>();
            }
            return archive::OpenLocated(location, error);
        };

        TForm1 form1(services);
        form2 = TForm2::Create(platform);
        form2->FormCreate();
        // The exchange form's timer runs on the GUI thread; each tick starts a poll thread.
        QTimer pollTimer;
        QObject::connect(&pollTimer, &QTimer::timeout, [&] {
            form2->Timer1Timer();
            pollTimer.setInterval(form2->Timer1.Interval.load());
        });
        pollTimer.start(form2->Timer1.Interval.load());
        TForm4 form4;
        form1.Attach(form2, &form4);
        if (extra) extra(form1);
        // The first poll runs now, while the window comes up, not a second later.
        form2->Timer1Timer();
        form1.show();
        form1.activateWindow();
        code = app.exec();
        pollTimer.stop();
    } catch (const std::exception& error) {
        QMessageBox::critical(nullptr, QStringLiteral("Tavex"), QString::fromUtf8(error.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, QStringLiteral("Tavex"), QString());
    }
    // No exchange thread may outlive the program's state.
    if (form2) form2->WaitForExchangeThreads(std::chrono::seconds(10));
    WaitForDetachedThreadsToEnd(std::chrono::seconds(10));
    return code;
}

}  // namespace tavex
