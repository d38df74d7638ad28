#include "app/tavex_m.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QDate>
#include <QStandardPaths>
#include <atomic>
#include <mutex>

#include "app/menu1.h"
#include "app/panel_places.h"
#include "export/files.h"
#include "fileio/safe_file.h"

namespace tavex {

std::uint8_t Language = 0;
std::string ExportFileName;
std::uint8_t ExportFormat = 0;

namespace {

struct SaveType {
    const char* label;
    const char* mask;
    const char* extension;
    std::uint8_t format;
};
// The workbook is written as Office Open XML, so its type is .xlsx.
constexpr SaveType kSaveTypes[4] = {{"HTM File", "*.htm", ".htm", kFormatHtm},
                                    {"CSV File ", "*.csv", ".csv", kFormatCsv},
                                    {"Microsoft Excel File", "*.xlsx", ".xlsx", kFormatXls},
                                    {"PDF report", "*.pdf", ".pdf", kFormatReport}};

// "0" or "1", perhaps with a line end an editor added; anything much longer is not ours.
constexpr std::uint64_t kMaxLanguageFileBytes = 64;
// A help page is some kilobytes.
constexpr std::uint64_t kMaxHelpPageBytes = 16u << 20;

// Reads a language file: only a regular file of a few bytes counts; a link, FIFO or device under
// the name is not read.
bool ReadLanguageFile(const std::string& path, std::string& content, bool* missing = nullptr) {
    ReadLimits limits;
    limits.maxSize = kMaxLanguageFileBytes;
    limits.followLinks = false;
    std::string error;
    return ReadRegularFile(path, limits, content, error, missing);
}

// Replaces the language file with the one digit, through the file object, by the rule every
// writer follows; never through a link.
void WriteLanguageFile(RawFile& file, const std::string& path, std::uint8_t digit) {
    FileReplacement replacement;
    ReplaceOptions options;
    options.followLinks = false;
    if (!replacement.Begin(path, options)) return;
    if (!file.OpenDescriptor(replacement.Duplicate())) return;
    const bool written = file.WriteBytes(&digit, 1);
    if (file.CloseFile() && written) replacement.Commit();
}

}  // namespace

// Posts the panel's ExchangeEnded to the GUI thread from any thread, at most one at a time, and
// nothing once the panel has gone.
class StepPoster {
public:
    explicit StepPoster(TForm1* panel) : panel_(panel) {}
    void Post() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!panel_ || queued_.exchange(true, std::memory_order_acq_rel)) return;
        TForm1* panel = panel_;
        QMetaObject::invokeMethod(panel, [panel] { panel->ExchangeEnded(); }, Qt::QueuedConnection);
    }
    // On the GUI thread, as the queued step begins: a later end posts again.
    void Taken() { queued_.store(false, std::memory_order_release); }
    void Detach() {
        std::lock_guard<std::mutex> lock(mutex_);
        panel_ = nullptr;
    }

private:
    std::mutex mutex_;
    TForm1* panel_;
    std::atomic<bool> queued_{false};
};

TForm1::TForm1(PanelServices services, QWidget* parent) : TForm1(parent) {
    services_ = std::move(services);
    if (services_.programFolder.isEmpty()) {
        services_.programFolder = FindSkinFolder(SkinFolderCandidates());
    }
    const bool ownDataFolder = services_.dataFolder.isEmpty();
    if (ownDataFolder) services_.dataFolder = LanguageFolder(services_.programFolder);
    // No skin anywhere: the skin reports the working folder's.
    if (services_.programFolder.isEmpty()) services_.programFolder = QDir::currentPath();
    // The per-user folder may not be there yet on a first start; without it nothing is stored.
    if (!services_.dataFolder.isEmpty() && !QDir().mkpath(services_.dataFolder)) {
        services_.dataFolder.clear();
    }
    if (ownDataFolder) TakeOverLanguageFile(OldLanguageFolder());
    excel_ = std::make_unique<Excel>(services_.spreadsheet, services_.messageBox);
    Timer1->setSingleShot(true);
    Timer1->setInterval(1500);
    Timer1->stop();
    Dragging = 0;
    Activated = 0;
    PanelState = kPanelIdle;
    LoadLanguage(255);
    SetSaveFilter();
}

TForm1::~TForm1() {
    if (poster_) poster_->Detach();
    if (form2_) form2_->SetCommandEndNotice({});
    if (export_) export_->AbortExport();
}

std::function<void()> TForm1::StepNotice() const {
    return [poster = poster_] { poster->Post(); };
}

void TForm1::Attach(std::shared_ptr<TForm2> form2, TForm4* form4) {
    form2_ = std::move(form2);
    poster_ = std::make_shared<StepPoster>(this);
    form2_->SetCommandEndNotice(StepNotice());
    form4_ = form4;
    form4_->Form1 = this;
    SkinTargets targets;
    targets.form1 = this;
    targets.image = Images();
    targets.form4 = form4;
    targets.menuImage1 = form4->Image1;
    targets.menuImage2 = form4->Image2;
    skin_ = std::make_unique<Winpicture>(Language, targets, services_.programFolder);
    if (excel_ && services_.shell) {
        export_ = std::make_unique<Formfileexel>(*form2_, *excel_, TheRawFile(), *services_.shell,
                                                 Language);
    }
}

// ---- start-up and the language ----

void TForm1::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
    QWidget::changeEvent(event);
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Some window managers never activate a borderless window by themselves: the first showing
    // counts as its activation too.
    if (!Activated) QTimer::singleShot(0, this, [this] { FormActivate(); });
}

void TForm1::FormActivate() {
    if (Activated || !skin_) return;
    if (!skin_->LoadSkin()) {
        // A broken skin says so once; a missing one keeps being looked for quietly.
        if (skin_->Problem() == SkinProblem::Broken && !skinErrorShown_ && services_.messageBox) {
            skinErrorShown_ = true;
            services_.messageBox->Show(skin_->SkinError().toStdString(), "Tavex", kMessageBoxError);
        }
        return;
    }
    skin_->ShowStripRow(kTargetDisplay, 0);
    Activated = 1;
    TimerStep = Step::Idle;
    // The first poll runs as the panel comes up: a meter it found is shown at once, and the end
    // of a poll still under way shows what it found.
    if (form2_ && form2_->connected.load(std::memory_order_acquire)) {
        IdleStep();
    } else {
        Arm(1000);
    }
}

void TForm1::closeEvent(QCloseEvent* event) {
    FormClose();
    if (form4_) form4_->hide();
    event->accept();
}

void TForm1::FormClose() {
    if (export_) export_->AbortExport();
    if (excel_) excel_->CloseWorkbook();
}

void TForm1::keyPressEvent(QKeyEvent* event) {
    // A window without its skin has no close button of its own: Escape closes it.
    if (event->key() == Qt::Key_Escape && !Activated) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TForm1::LoadLanguage(std::uint8_t requested) {
    std::uint8_t b = requested;
    const std::uint8_t desktop =
        services_.desktopLanguage ? services_.desktopLanguage() : DesktopLanguage();
    Language = 0;
    RawFile& file = TheRawFile();
    // The file object is busy with an export, or there is no folder for the file: take the
    // requested language (the desktop's at the start), write nothing.
    if (file.IsOpen() || services_.dataFolder.isEmpty()) {
        Language = requested <= 1 ? requested : (desktop == 1 ? 1 : 0);
        return;
    }
    const std::string path =
        QDir(services_.dataFolder).filePath(QStringLiteral("Lang")).toStdString();
    if (b == 0 || b == 1) {
        b = static_cast<std::uint8_t>('0' + b);
        WriteLanguageFile(file, path, b);
        // The language asked for holds even where the file may not be replaced (read-only).
        Language = requested;
        return;
    }
    std::string content;
    bool missing = false;
    if (!ReadLanguageFile(path, content, &missing) && missing) {
        // A first start speaks the desktop's language.
        b = desktop == 1 ? '1' : '0';
        WriteLanguageFile(file, path, b);
        ReadLanguageFile(path, content);
    }
    if (!content.empty()) b = static_cast<std::uint8_t>(content[0]);
    const auto value = static_cast<std::uint8_t>(b - '0');
    Language = value > 1 ? 0 : value;
}

void TForm1::TakeOverLanguageFile(const QString& oldFolder) {
    if (oldFolder.isEmpty() || services_.dataFolder.isEmpty() ||
        QDir::cleanPath(oldFolder) == QDir::cleanPath(services_.dataFolder)) {
        return;
    }
    const std::string path =
        QDir(services_.dataFolder).filePath(QStringLiteral("Lang")).toStdString();
    const std::string oldPath = QDir(oldFolder).filePath(QStringLiteral("Lang")).toStdString();
    std::string content;
    bool missing = false;
    // Only when this panel has none yet (a file of any kind under the name counts), and only a
    // language the old file really holds.
    if (ReadLanguageFile(path, content, &missing) || !missing) return;
    if (!ReadLanguageFile(oldPath, content) || content.empty() ||
        (content[0] != '0' && content[0] != '1')) {
        return;
    }
    RawFile& file = TheRawFile();
    if (!file.IsOpen()) WriteLanguageFile(file, path, static_cast<std::uint8_t>(content[0]));
}

void TForm1::SetSaveFilter() {
    // The workbook only when a spreadsheet can be made; the report always.
    saveTypeIndex_ = {0, 1};
    if (excel_ && excel_->IsSpreadsheetAvailable()) saveTypeIndex_.push_back(2);
    saveTypeIndex_.push_back(3);
    saveFilters_.clear();
    saveTypes_.clear();
    for (const int i : saveTypeIndex_) {
        saveFilters_ << QStringLiteral("%1 (%2)").arg(QLatin1String(kSaveTypes[i].label),
                                                      QLatin1String(kSaveTypes[i].mask));
        saveTypes_ << QLatin1String(kSaveTypes[i].label);
    }
    if (SaveDialog1) SaveDialog1->setNameFilters(saveFilters_);
}

QFileDialog& TForm1::SaveDialog() {
    if (!SaveDialog1) {
        SaveDialog1 = new QFileDialog(this);
        SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
        SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
        SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite, true);
        SaveDialog1->setSizeGripEnabled(true);
#ifdef _WIN32
        // Qt has the Windows dialog add the chosen type's extension itself; the export adds it
        // to the name as typed. Qt's own dialog hands the name back as typed, as on Linux.
        SaveDialog1->setOption(QFileDialog::DontUseNativeDialog, true);
#endif
        SaveDialog1->setNameFilters(saveFilters_);
    }
    // Documents, or home where there is none; once a file was saved, that file's folder.
    if (saveFolder_.isEmpty() || !QFileInfo(saveFolder_).isDir()) {
        const QString documents =
            QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        saveFolder_ = !documents.isEmpty() && QFileInfo(documents).isDir() ? documents
                                                                            : QDir::homePath();
    }
    SaveDialog1->setDirectory(saveFolder_);
    return *SaveDialog1;
}

void TForm1::ShowHelp() {
    if (!services_.shell) return;
    // The help pages lie beside the skin; nothing happens when one is missing.
    const QString page =
        QDir(services_.programFolder)
            .filePath(Language == 1 ? QStringLiteral("helpa.htm") : QStringLiteral("helpr.htm"));
    std::string error;
    if (IsReadableRegularFile(page.toStdString(), kMaxHelpPageBytes, error)) {
        services_.shell->OpenDocument(page.toStdString());
    }
}

// ---- the timer ----

void TForm1::Arm(int milliseconds) {
    Timer1->setInterval(milliseconds);
    Timer1->start();
}

void TForm1::Timer1Timer() {
    Timer1->stop();
    if (!form2_) return;
    // Results already read go into the archive whether or not the meter is still there.
    if (!form2_->connected.load(std::memory_order_acquire) && PanelState != kPanelArchiving) {
        // The meter is gone: whatever ran is abandoned, and an unfinished export leaves no file.
        if (PanelState == kPanelExporting && export_) export_->AbortExport();
        const bool clearing = PanelState == kPanelClearReading || PanelState == kPanelClearArchiving;
        if (PanelState == kPanelClearReading && export_) export_->AbortExport();
        TimerStep = Step::Idle;
        PanelState = kPanelIdle;
        if (excel_) excel_->CloseWorkbook();
        // Told once the display shows that the meter is gone.
        if (clearing) {
            IdleStep();
            if (services_.messageBox) {
                services_.messageBox->Show(
                    Language == 1 ? "The meter was disconnected before its memory was cleared; "
                                    "nothing was cleared."
                                  : "Прибор отключён до очистки памяти; ничего не удалено.",
                    Language == 1 ? "Clear memory" : "Очистка памяти", kMessageBoxError);
            }
            return;
        }
    }
    switch (TimerStep) {
        case Step::Idle:
            IdleStep();
            break;
        case Step::Export:
            ExportStep();
            break;
        case Step::ClearMemory:
            ClearMemoryStep();
            break;
        case Step::None:
            break;
    }
}

void TForm1::IdleStep() {
    holdingOutcome_ = false;
    const bool connected = form2_->connected.load(std::memory_order_acquire) != 0;
    if (connected && !ConnectedShown) {
        ConnectedShown = 1;
        DisconnectedShown = 0;
        const std::uint8_t meterLanguage =
            form2_->instrumentLanguage.load(std::memory_order_acquire);
        if (meterLanguage != Language) LoadLanguage(meterLanguage);
        skin_->ShowStripRow(kTargetDisplay, 1);
    } else if (!connected && !DisconnectedShown) {
        DisconnectedShown = 1;
        ConnectedShown = 0;
        skin_->ShowStripRow(kTargetDisplay, 3);
        skin_->HideMenu();
    }
    // Another program keeps the meter: said once while it lasts.
    if (connected) {
        inUseShown_ = false;
    } else if (form2_->MeterInUse() && !inUseShown_) {
        inUseShown_ = true;
        if (services_.messageBox) {
            services_.messageBox->Show(Language == 1 ? "The meter is in use by another program."
                                                     : "Прибор занят другой программой.",
                                       "Tavex", kMessageBoxError);
        }
    }
    // A meter that this user may not open: said once per plug.
    if (connected || !services_.blockedMeter) {
        blockedShown_.reset();
    } else {
        auto blocked = services_.blockedMeter();
        const bool tell = blocked && blocked != blockedShown_;
        // Taken before the box opens: its event loop may run this step again.
        blockedShown_ = blocked;
        if (tell && services_.messageBox) {
            services_.messageBox->Show(
                Language == 1
                    ? "The meter is connected (" + blocked->node +
                          ") but this user may not open it. Install the udev rule: install "
                          "the Tavex package (sudo apt-get install), or copy "
                          "60-tavex-qx482tda.rules to /etc/udev/rules.d/ and replug the meter."
                    : "Прибор подключён (" + blocked->node +
                          "), но этому пользователю нельзя его открыть. Установите правило "
                          "udev: установите пакет Tavex (sudo apt-get install) или скопируйте "
                          "60-tavex-qx482tda.rules в /etc/udev/rules.d/ и переподключите прибор.",
                "Tavex", kMessageBoxError);
        }
    }
    Arm(1000);
}

void TForm1::ResumeIdle() {
    TimerStep = Step::Idle;
    ConnectedShown = 0;
    holdingOutcome_ = true;
    Arm(1500);
}

void TForm1::ExchangeEnded() {
    if (poster_) poster_->Taken();
    if (!form2_ || !Activated) return;
    switch (TimerStep) {
        case Step::Export:
            if (PanelState == kPanelExporting || PanelState == kPanelArchiving) Timer1Timer();
            break;
        case Step::ClearMemory:
            if (PanelState == kPanelClearReading || PanelState == kPanelClearArchiving ||
                PanelState == kPanelClearing) {
                Timer1Timer();
            }
            break;
        case Step::Idle: {
            // The meter came or went: shown now, unless an outcome is still on the display.
            const bool connected = form2_->connected.load(std::memory_order_acquire) != 0;
            if (!holdingOutcome_ && (connected ? !ConnectedShown : !DisconnectedShown)) {
                Timer1Timer();
            }
            break;
        }
        case Step::None:
            break;
    }
}

// ---- export ----

void TForm1::StartExport() {
    if (form2_->recordCount.load(std::memory_order_acquire) == 0) {
        skin_->ShowStripRow(kTargetDisplay, 11);
        ResumeIdle();
        PanelState = kPanelIdle;
        return;
    }
    QString name;
    int index = 0;
    if (!services_.runSaveDialog || !services_.runSaveDialog(SaveDialog(), name, index)) return;
    if (index < 1 || index > saveTypes_.size()) return;
    const SaveType& type = kSaveTypes[saveTypeIndex_[static_cast<std::size_t>(index - 1)]];
    // The type's extension is appended unless the name ends in it already (in any case): a
    // name with another extension still gets it.
    if (!name.endsWith(QLatin1String(type.extension), Qt::CaseInsensitive)) {
        name += QLatin1String(type.extension);
    }
    ExportFileName = name.toStdString();
    ExportFormat = type.format;
    PanelState = kPanelIdle;
    ExportStep();
}

void TForm1::ExportStep() {
    if (PanelState == kPanelIdle) {
        form2_->ReadMemoryHeader();
        // The header could not be read at all: the next step shows that the meter is gone.
        if (!form2_->connected.load(std::memory_order_acquire)) {
            ResumeIdle();
            return;
        }
        if (form2_->headerStatus.load(std::memory_order_acquire) != kHeaderValid) {
            RefuseUnreadableMemory(false);
            return;
        }
        // The report is written once the results are archived; its file is checked first.
        const bool report = ExportFormat == kFormatReport;
        std::string refused;
        if (report && !FileReplacement::CheckTarget(ExportFileName, {}, refused)) {
            ResumeIdle();
            PanelState = kPanelIdle;
            ShowExportError(refused);
            return;
        }
        if (!export_ ||
            !export_->BeginExport(report ? kFormatReadOnly : ExportFormat, ExportFileName)) {
            ReportExportFailure();
            return;
        }
        TimerStep = Step::Export;
        Arm(50);
        PanelState = kPanelExporting;
        ConnectedShown = 0;
        return;
    }
    if (PanelState == kPanelArchiving) {
        ArchiveStep();
        return;
    }
    if (PanelState != kPanelExporting) return;
    if (!form2_->busy.load(std::memory_order_acquire)) export_->ExportNext();
    if (export_->ExportFailed()) {
        ReportExportFailure();
        return;
    }
    // The stage after the step: the last chunk written shows done and archives at once.
    const std::uint8_t stage = export_->ExportProgress();
    skin_->ShowProgressStage(stage);
    Arm(50);
    if (stage == kProgressDone) StartArchiving();
}

void TForm1::StartArchiving() {
    pendingReport_.reset();
    if (ExportFormat == kFormatReport) {
        const QDate today = QDate::currentDate();
        pendingReport_ = ReportTask{
            ExportFileName, Language == 1 ? 1 : 0,
            static_cast<std::uint8_t>(
                form2_->instrumentUnit.load(std::memory_order_acquire) == 1 ? 1 : 0),
            archive::Day{today.year(), today.month(), today.day()}};
    }
    PanelState = kPanelArchiving;
    archiveJob_ = ArchiveJob::Start(services_.openArchive, export_->RecordsRead(), pendingReport_,
                                    StepNotice());
    // Without a thread to be had, the work is done here.
    if (archiveJob_) {
        Arm(50);
    } else {
        ArchiveStep();
    }
}

void TForm1::ArchiveStep() {
    if (archiveJob_ && !archiveJob_->Done()) {
        Arm(50);
        return;
    }
    const ArchiveJob::Outcome outcome =
        archiveJob_ ? archiveJob_->Result()
                    : ArchiveJob::Run(services_.openArchive, export_->RecordsRead(), pendingReport_);
    archiveJob_.reset();
    PanelState = kPanelIdle;
    ResumeIdle();
    if (!outcome.merged) ReportArchiveFailure(outcome.archiveError);
    if (pendingReport_) {
        if (!outcome.reportWritten) {
            ShowExportError(outcome.reportError);
            return;
        }
        if (services_.shell) services_.shell->OpenDocument(pendingReport_->path);
    }
    // The next save dialog opens where this file went.
    saveFolder_ = QFileInfo(QString::fromStdString(ExportFileName)).absolutePath();
    skin_->ShowStripRow(kTargetDisplay, 4);
}

void TForm1::ReportArchiveFailure(const std::string& reason) {
    // Said once for the same trouble; the export itself is done.
    if (!services_.messageBox || reason == archiveErrorShown_) return;
    archiveErrorShown_ = reason;
    services_.messageBox->Show(
        (Language == 1 ? "The results were exported but could not be added to the archive:\n"
                       : "Результаты экспортированы, но не добавлены в архив:\n") +
            reason,
        Language == 1 ? "Archive" : "Архив", kMessageBoxError);
}

bool TForm1::WaitForArchiveJob(std::chrono::milliseconds limit) const {
    return !archiveJob_ || archiveJob_->Wait(limit);
}

void TForm1::ReportExportFailure() {
    ResumeIdle();
    PanelState = kPanelIdle;
    // A missing spreadsheet application has shown its own message already.
    if (!export_ || !services_.messageBox || !export_->ExportFailed() ||
        export_->ExportError() == "the spreadsheet application could not be started") {
        return;
    }
    ShowExportError(export_->ExportError());
}

void TForm1::RefuseUnreadableMemory(bool clearing) {
    PanelState = kPanelIdle;
    TimerStep = Step::Idle;
    ConnectedShown = 1;
    DisconnectedShown = 0;
    skin_->ShowStripRow(kTargetDisplay, 1);
    Arm(1000);
    if (!services_.messageBox) return;
    const char* text;
    if (Language == 1) {
        text = clearing ? "The meter's memory could not be read; nothing was cleared."
                        : "The meter's memory could not be read; nothing was exported.";
    } else {
        text = clearing ? "Не удалось прочитать память прибора; ничего не удалено."
                        : "Не удалось прочитать память прибора; ничего не экспортировано.";
    }
    services_.messageBox->Show(text,
                               Language == 1 ? (clearing ? "Clear memory" : "Export")
                                             : (clearing ? "Очистка памяти" : "Экспорт"),
                               kMessageBoxError);
}

void TForm1::ShowExportError(const std::string& reason) {
    if (!services_.messageBox) return;
    const std::string text = (Language == 1 ? "The results could not be written to "
                                            : "Не удалось записать результаты в ") +
                             ExportFileName + ":\n" + reason;
    services_.messageBox->Show(text, Language == 1 ? "Export" : "Экспорт", kMessageBoxError);
}

// ---- clearing the memory ----

void TForm1::RequestClearMemory() {
    if (form2_->recordCount.load(std::memory_order_acquire) != 0) {
        PanelState = kPanelConfirmClear;
        ClearConfirm = 0;
        skin_->ShowStripRow(kTargetDisplay, 12);
    } else {
        skin_->ShowStripRow(kTargetDisplay, 11);
        ResumeIdle();
    }
}

void TForm1::ClearMemoryStep() {
    if (PanelState == kPanelConfirmClear) {
        form2_->ReadMemoryHeader();
        if (!form2_->connected.load(std::memory_order_acquire)) {
            PanelState = kPanelIdle;
            ResumeIdle();
            return;
        }
        if (form2_->headerStatus.load(std::memory_order_acquire) == kHeaderValid) {
            // Every stored result goes into the archive before anything is cleared.
            TimerStep = Step::ClearMemory;
            ConnectedShown = 0;
            clearRounds_ = 0;
            StartClearRead();
            return;
        }
        RefuseUnreadableMemory(true);
        return;
    }
    if (PanelState == kPanelClearReading) {
        ClearReadStep();
        return;
    }
    if (PanelState == kPanelClearArchiving) {
        ClearArchiveStep();
        return;
    }
    if (PanelState != kPanelClearing) return;
    if (!form2_->busy.load(std::memory_order_acquire)) {
        skin_->ShowStripRow(kTargetDisplay, 4);
        ResumeIdle();
        PanelState = kPanelIdle;
    } else {
        Arm(50);
    }
}

void TForm1::StartClearRead() {
    clearPointer_ = form2_->recordPointer.load(std::memory_order_acquire);
    clearCount_ = form2_->recordCount.load(std::memory_order_acquire);
    if (!export_ || !export_->BeginExport(kFormatReadOnly, std::string())) {
        RefuseClearing(export_ ? export_->ExportError() : std::string());
        return;
    }
    PanelState = kPanelClearReading;
    Arm(50);
}

void TForm1::ClearReadStep() {
    skin_->ShowProgressStage(export_->ExportProgress());
    if (!form2_->busy.load(std::memory_order_acquire)) export_->ExportNext();
    if (export_->ExportFailed()) {
        RefuseClearing(export_->ExportError());
        return;
    }
    if (export_->ExportFinished()) {
        PanelState = kPanelClearArchiving;
        archiveJob_ = ArchiveJob::Start(services_.openArchive, export_->RecordsRead(), std::nullopt,
                                        StepNotice());
        if (!archiveJob_) {
            RefuseClearing("no thread could be started");
            return;
        }
    }
    Arm(50);
}

void TForm1::ClearArchiveStep() {
    if (archiveJob_ && !archiveJob_->Done()) {
        Arm(50);
        return;
    }
    const ArchiveJob::Outcome outcome = archiveJob_ ? archiveJob_->Result() : ArchiveJob::Outcome{};
    archiveJob_.reset();
    if (!outcome.merged) {
        RefuseClearing(outcome.archiveError);
        return;
    }
    // Right before the clearing: a result stored meanwhile is read and archived first.
    form2_->ReadMemoryHeader();
    if (!form2_->connected.load(std::memory_order_acquire)) {
        RefuseClearing(Language == 1 ? "the meter stopped answering" : "прибор не отвечает");
        return;
    }
    if (form2_->headerStatus.load(std::memory_order_acquire) != kHeaderValid) {
        RefuseClearing(Language == 1 ? "the meter's memory could not be read"
                                     : "память прибора не прочитана");
        return;
    }
    if (form2_->recordPointer.load(std::memory_order_acquire) != clearPointer_ ||
        form2_->recordCount.load(std::memory_order_acquire) != clearCount_) {
        if (++clearRounds_ >= 5) {
            RefuseClearing(Language == 1 ? "the meter keeps storing new results"
                                         : "прибор продолжает записывать результаты");
            return;
        }
        StartClearRead();
        return;
    }
    form2_->ClearMemory();
    Arm(50);
    PanelState = kPanelClearing;
}

void TForm1::RefuseClearing(const std::string& reason) {
    if (export_) export_->AbortExport();
    archiveJob_.reset();
    PanelState = kPanelIdle;
    ResumeIdle();
    if (!services_.messageBox) return;
    services_.messageBox->Show(
        (Language == 1 ? "The results could not be saved in the archive; nothing was cleared.\n"
                       : "Не удалось сохранить результаты в архиве; ничего не удалено.\n") +
            reason,
        Language == 1 ? "Clear memory" : "Очистка памяти", kMessageBoxError);
}

// ---- mouse: the background and the window buttons ----

void TForm1::Image1MouseDown(Qt::MouseButton, Qt::KeyboardModifiers, int x, int y) {
    if (y < 30) {
        Dragging = 1;
        DragX = x;
        DragY = y;
    }
    if (ConnectedShown && skin_) skin_->HideMenu();
}

void TForm1::Image1MouseMove(Qt::KeyboardModifiers, int x, int y) {
    if (!Dragging) return;
    QRect bounds = geometry().translated(x - DragX, y - DragY);
    // The panel stays on the screen it is dragged to, and the menu beside it.
    bounds.moveTopLeft(KeptOnScreen(this, bounds));
    setGeometry(bounds);
    if (skin_) skin_->PlaceMenu();
}

void TForm1::Image1MouseUp(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    Dragging = 0;
}

void TForm1::Image5MouseDown(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    if (skin_) skin_->SetButtonState(kButtonMinimise, 0);
}

void TForm1::Image5MouseUp(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    if (!skin_) return;
    skin_->SetButtonState(kButtonMinimise, 1);
    skin_->HideMenu();
    showMinimized();
}

void TForm1::Image6MouseDown(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    if (skin_) skin_->SetButtonState(kButtonClose, 0);
}

void TForm1::Image6MouseUp(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    if (skin_) skin_->SetButtonState(kButtonClose, 1);
    close();
}

void TForm1::Image9MouseDown(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    if (skin_) skin_->SetButtonState(kButtonHelp, 0);
}

void TForm1::Image9MouseUp(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    if (skin_) skin_->SetButtonState(kButtonHelp, 1);
    ShowHelp();
}

// ---- the keys ----

void TForm1::Image2MouseDown(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    if (!ConnectedShown) return;
    skin_->SetButtonState(kButtonEnter, 0);
    if (PanelState != kPanelConfirmClear) skin_->ShowStripRow(kTargetDisplay, 2);
}

void TForm1::Image2MouseUp(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    if (!ConnectedShown) return;
    skin_->SetButtonState(kButtonEnter, 1);
    EnterAction();
}

void TForm1::EnterAction() {
    if (PanelState == kPanelConfirmClear) {
        if (ClearConfirm == 0) {
            PanelState = kPanelIdle;
            skin_->ShowStripRow(kTargetDisplay, 1);
        } else {
            ClearMemoryStep();
        }
        return;
    }
    skin_->ShowStripRow(kTargetDisplay, 2);
    if (!form4_->isVisible()) {
        skin_->ShowStripRow(kTargetMenu, 0);
    } else if (skin_->CurrentMenuRow() == 0) {
        skin_->ShowStripRow(kTargetMenu, 1);
    } else {
        form4_->ExecuteSelected();
    }
}

void TForm1::ArrowKeyDown(std::int8_t kind, bool previous) {
    if (!ConnectedShown) return;
    skin_->SetButtonState(kind, 0);
    if (PanelState == kPanelConfirmClear) {
        ClearConfirm = static_cast<std::uint8_t>(1 - ClearConfirm);
        skin_->ShowStripRow(kTargetDisplay, static_cast<std::uint8_t>(12 + ClearConfirm));
    } else if (form4_->isVisible()) {
        if (previous) {
            form4_->SelectPrevious();
        } else {
            form4_->SelectNext();
        }
    }
}

void TForm1::Image3MouseDown(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    ArrowKeyDown(kButtonUp, true);
}

void TForm1::Image3MouseUp(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    if (ConnectedShown) skin_->SetButtonState(kButtonUp, 1);
}

void TForm1::Image4MouseDown(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    ArrowKeyDown(kButtonDown, false);
}

void TForm1::Image4MouseUp(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    if (ConnectedShown) skin_->SetButtonState(kButtonDown, 1);
}

}  // namespace tavex
