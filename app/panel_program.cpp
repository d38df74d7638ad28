#include "app/panel_program.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QProcess>
#include <QUrl>
#include <exception>

#include "app/menu1.h"
#include "app/panel_places.h"
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

PanelWindows::PanelWindows(PanelServices services, std::shared_ptr<HidPlatform> platform) {
    form1_ = std::make_unique<TForm1>(std::move(services));
    form2_ = TForm2::Create(std::move(platform));
    form2_->FormCreate();
    // Each tick of the poll timer starts a poll thread.
    QObject::connect(&pollTimer_, &QTimer::timeout, [this] {
        form2_->Timer1Timer();
        pollTimer_.setInterval(form2_->Timer1.Interval.load());
    });
    pollTimer_.start(form2_->Timer1.Interval.load());
    form4_ = std::make_unique<TForm4>();
    form1_->Attach(form2_, form4_.get());
}

PanelWindows::~PanelWindows() {
    pollTimer_.stop();
    form1_.reset();
    form4_.reset();
    // No exchange thread may outlive the program's state.
    form2_->WaitForExchangeThreads(std::chrono::seconds(10));
}

void PanelWindows::Show() {
    // The first poll runs now, while the window comes up, not a second later.
    form2_->Timer1Timer();
    form1_->show();
    form1_->activateWindow();
}

int RunPanelProgram(int& argc, char** argv, std::shared_ptr<HidPlatform> platform,
                    const std::function<void(TForm1&)>& extra, bool simulated) {
    ChoosePlatformForSession();
    QApplication app(argc, argv);
    app.setWindowIcon(TavexIcon());
    int code = 0;
    try {
        PanelServices services;
        services.shell = std::make_shared<QtShell>();
        services.messageBox = std::make_shared<QtMessageBox>();
        // Excel when it is installed (Windows), else the built-in engine.
        services.spreadsheet = automation::MakeSpreadsheetFactory(services.shell);
        services.runSaveDialog = RunSaveDialog;
        if (!simulated) services.blockedMeter = [] { return FindBlockedMeter(); };
        services.openArchive = [simulated](std::string& error) {
            archive::Location location;
            if (!archive::Locate(std::string(), simulated, archive::SystemEnvironment, location,
                                 error)) {
                return std::unique_ptr<archive::Archive>();
            }
            return archive::OpenLocated(location, error);
        };

        const QStringList searched = SkinFolderCandidates();
        services.programFolder = FindSkinFolder(searched);
        PanelWindows windows(services, std::move(platform));
        // Without its skin the panel would be a blank rectangle: said, and the program ends.
        if (services.programFolder.isEmpty()) {
            QMessageBox::critical(nullptr, QStringLiteral("Tavex"),
                                  MissingSkinText(Language, searched));
            code = 1;
        } else {
            if (extra) extra(windows.Form1());
            windows.Show();
            code = app.exec();
        }
    } catch (const std::exception& error) {
        QMessageBox::critical(nullptr, QStringLiteral("Tavex"), QString::fromUtf8(error.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, QStringLiteral("Tavex"), QString());
    }
    // No thread of ours may outlive the program's state.
    WaitForDetachedThreadsToEnd(std::chrono::seconds(10));
    return code;
}

}  // namespace tavex
