#pragma once

#include <QFileDialog>
#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/archive_job.h"
#include "export/automation/automation.h"
#include "export/excel.h"
#include "export/formfileexel.h"
#include "export/message_box.h"
#include "export/shell.h"
#include "instrument/hidraw_access.h"
#include "instrument/protokol.h"
#include "skin/image_control.h"
#include "skin/winpicture.h"

namespace tavex {

class TForm4;
class StepPoster;

// The process-wide interface language: 0 Russian, 1 English.
extern std::uint8_t Language;
// The export file chosen last (extension appended) and its format.
extern std::string ExportFileName;
extern std::uint8_t ExportFormat;

// What the panel takes from its surroundings.
struct PanelServices {
    std::shared_ptr<automation::ObjectFactory> spreadsheet;
    std::shared_ptr<Shell> shell;
    std::shared_ptr<MessageBox> messageBox;
    // Runs the save dialog; true with the chosen name and the 1-based index of the file type.
    std::function<bool(QFileDialog& dialog, QString& name, int& typeIndex)> runSaveDialog;
    // Where the skin and the help pages lie, and where the language file is kept. Empty: found
    // as the program finds them wherever it was started (see panel_places.h); a language folder
    // that cannot be made keeps no language file.
    QString programFolder;
    QString dataFolder;
    // The desktop's language (0 Russian, 1 English), the interface's until a language file or a
    // meter says otherwise. Empty: the system locale's.
    std::function<std::uint8_t()> desktopLanguage;
    // Opens the results archive every export and clearing adds to; none: nothing is archived
    // and nothing is cleared.
    ArchiveOpener openArchive;
    // While no meter is connected: a meter on the bus that this user may not open (Linux:
    // FindBlockedMeter). None: not looked for (the simulated meter). Asked every idle step.
    std::function<std::optional<BlockedMeter>()> blockedMeter;
};

// The save dialog's fourth type: a report of the archive (not a format of the export itself).
inline constexpr std::uint8_t kFormatReport = 4;

// Panel states.
enum : std::uint8_t {
    kPanelIdle = 0,
    kPanelExporting = 1,
    kPanelConfirmClear = 3,
    kPanelClearing = 4,
    // The results read by an export go into the archive (and into the report).
    kPanelArchiving = 5,
    // Before a clearing: every stored result is read, then put into the archive.
    kPanelClearReading = 6,
    kPanelClearArchiving = 7
};
enum class Step { None, Idle, Export, ClearMemory };

// The main window: the meter's front panel. A borderless window whose picture and shape come
// from the skin; Image1 is the panel, Image2..Image4 the Enter, up and down keys, Image5, Image6
// and Image9 the minimise, close and help buttons, Image7 the connection lamp and Image8 the
// display.
class TForm1 : public QWidget {
public:
    // The window and its controls only.
    explicit TForm1(QWidget* parent = nullptr);
    // The panel: timer stopped, language loaded, save dialog's file types set.
    explicit TForm1(PanelServices services, QWidget* parent = nullptr);
    ~TForm1() override;

    // Hands the panel the exchange form and the menu window, once both exist.
    void Attach(std::shared_ptr<TForm2> form2, TForm4* form4);

    ImageControl* Image1;
    ImageControl* Image2;
    ImageControl* Image3;
    ImageControl* Image4;
    ImageControl* Image5;
    ImageControl* Image7;
    ImageControl* Image9;
    ImageControl* Image6;
    ImageControl* Image8;
    QTimer* Timer1;
    // The save dialog, made the first time an export asks for a file name.
    QFileDialog* SaveDialog1 = nullptr;

    std::int32_t DragX = 0;
    std::int32_t DragY = 0;
    std::uint8_t Dragging = 0;
    std::uint8_t Activated = 0;

    std::uint8_t PanelState = kPanelIdle;
    Step TimerStep = Step::None;
    std::uint8_t ConnectedShown = 0;
    std::uint8_t DisconnectedShown = 0;
    std::uint8_t ClearConfirm = 0;

    std::array<ImageControl*, 10> Images() const;

    void Image1MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void Image1MouseMove(Qt::KeyboardModifiers shift, int x, int y);
    void Image1MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void Image2MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void Image2MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void Image3MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void Image3MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void Image4MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void Image4MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void Image5MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void Image5MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void Image6MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void Image6MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void Image9MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void Image9MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void Timer1Timer();
    void FormActivate();
    void FormClose();

    void LoadLanguage(std::uint8_t requested);
    // A language file left in oldFolder by an earlier installation becomes this panel's, when it
    // has none yet.
    void TakeOverLanguageFile(const QString& oldFolder);
    void SetSaveFilter();
    // The save dialog, made on first use with the file types and the folder to start in.
    QFileDialog& SaveDialog();
    // The exchange thread ended a poll, a chunk read or the clearing: the step that waits for
    // it runs now rather than on the next tick.
    void ExchangeEnded();
    void ShowHelp();
    void IdleStep();
    void ExportStep();
    void ClearMemoryStep();
    void ResumeIdle();
    void StartExport();
    void RequestClearMemory();
    // The Enter key's action on release.
    void EnterAction();

    Winpicture* Skin() { return skin_.get(); }
    TForm2* Form2() { return form2_.get(); }
    TForm4* Form4() { return form4_; }
    Formfileexel* Export() { return export_.get(); }
    // The save dialog's file types: labels and the extension each appends.
    const QStringList& SaveTypes() const { return saveTypes_; }
    // Waits for the archive's work started by an export or a clearing; false when it still
    // runs after limit.
    bool WaitForArchiveJob(std::chrono::milliseconds limit) const;

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Arm(int milliseconds);
    // The up or down key pressed: toggles the clear question's answer or moves the menu mark.
    void ArrowKeyDown(std::int8_t kind, bool previous);
    // What the exchange and archive threads call when their work ends: the next step is posted.
    std::function<void()> StepNotice() const;
    void ReportExportFailure();
    // The memory header read before an export or a clearing was not valid: nothing was done,
    // and the user is told so over the connected screen.
    void RefuseUnreadableMemory(bool clearing);
    void ShowExportError(const std::string& reason);
    // After an export: the archive's work, then the done row.
    void StartArchiving();
    void ArchiveStep();
    void ReportArchiveFailure(const std::string& reason);
    // Before a clearing: reads every result, archives it, and only then clears.
    void StartClearRead();
    void ClearReadStep();
    void ClearArchiveStep();
    void RefuseClearing(const std::string& reason);

    PanelServices services_;
    std::shared_ptr<TForm2> form2_;
    TForm4* form4_ = nullptr;
    std::unique_ptr<Excel> excel_;
    std::unique_ptr<Winpicture> skin_;
    std::unique_ptr<Formfileexel> export_;
    QStringList saveTypes_;
    std::vector<int> saveTypeIndex_;  // the dialog's types in kSaveTypes
    QStringList saveFilters_;
    // Where the save dialog opens: Documents (or home), later the last saved file's folder.
    QString saveFolder_;
    // The done row (or another outcome) stays until the next tick; a poll does not cut it short.
    bool holdingOutcome_ = false;
    // Hands ExchangeEnded to the GUI thread from the exchange and archive threads.
    std::shared_ptr<StepPoster> poster_;
    std::shared_ptr<ArchiveJob> archiveJob_;
    std::optional<ReportTask> pendingReport_;
    std::string archiveErrorShown_;
    int clearRounds_ = 0;
    std::uint32_t clearPointer_ = 0;
    std::uint32_t clearCount_ = 0;
    bool skinErrorShown_ = false;
    bool inUseShown_ = false;
    // The refused meter last told of: told again only once it has gone and come back.
    std::optional<BlockedMeter> blockedShown_;
};

// The program's window icon.
QIcon TavexIcon();

}  // namespace tavex
