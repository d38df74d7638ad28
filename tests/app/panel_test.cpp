#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <functional>

#include "app/menu1.h"
#include "app/simulator_window.h"
#include "app/tavex_m.h"
#include "archive/archive.h"
#include "export/automation/recorder.h"
#include "export/automation/workbook_engine.h"
#include "instrument/sim/memory_image.h"
#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"

namespace tavex {
namespace {

namespace fs = std::filesystem;

class RecordingShell : public Shell {
public:
    bool OpenDocument(const std::string& path) override {
        opened.push_back(path);
        return true;
    }
    bool StartCommand(const std::string& line) override {
        started.push_back(line);
        return true;
    }
    std::vector<std::string> opened, started;
};

class RecordingMessageBox : public MessageBox {
public:
    void Show(const std::string& text, const std::string&, int) override { shown.push_back(text); }
    std::vector<std::string> shown;
};

std::string ReadFile(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A panel over the simulated meter, in a working folder of its own that holds the skin.
class PanelTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString oldDir = QDir::currentPath();
    std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>();
    std::shared_ptr<sim::SimMeter> meter = std::make_shared<sim::SimMeter>(sim::DemoMemoryImage());
    std::shared_ptr<RecordingShell> shell = std::make_shared<RecordingShell>();
    std::shared_ptr<RecordingMessageBox> messages = std::make_shared<RecordingMessageBox>();
    std::shared_ptr<automation::ObjectFactory> spreadsheet =
        std::make_shared<automation::BuiltInSpreadsheet>(shell);
    QString dialogName;
    int dialogType = 2;
    int dialogRuns = 0;
    QStringList dialogFolders;  // where the dialog opened, each time
    // What the panel is told of a meter that this user may not open.
    std::function<std::optional<BlockedMeter>()> blockedMeter;
    std::unique_ptr<TForm1> form1;
    std::shared_ptr<TForm2> form2;
    std::unique_ptr<TForm4> form4;

    void SetUp() override {
        // Copies, not links: a test may spoil one, and Windows has no links to files here.
        for (const QString& name : QDir(TAVEX_RUN_DIR).entryList({"*.dat"})) {
            QFile::copy(QDir(TAVEX_RUN_DIR).filePath(name), QDir(dir.path()).filePath(name));
        }
        QDir::setCurrent(dir.path());
        Language = 0;
    }
    void TearDown() override {
        form1.reset();
        form4.reset();
        if (form2) {
            EXPECT_TRUE(form2->WaitForExchangeThreads(std::chrono::seconds(10)));
        }
        QDir::setCurrent(oldDir);
    }
    // The skin, the help and the language file all in the test's folder, on every system.
    PanelServices Folders() {
        PanelServices services;
        services.programFolder = dir.path();
        services.dataFolder = dir.path();
        services.desktopLanguage = [] { return std::uint8_t{0}; };
        services.openArchive = [this](std::string& error) {
            if (archiveRefused.empty()) return archive::Archive::Open(ArchivePath(), error);
            error = archiveRefused;
            return std::unique_ptr<archive::Archive>();
        };
        return services;
    }
    // The test's own archive; archiveRefused makes opening it fail with that reason.
    std::string ArchivePath() const {
        return QDir(dir.path()).filePath("archive.sqlite").toStdString();
    }
    std::string archiveRefused;
    std::size_t Archived() {
        std::string error;
        archive::Totals totals;
        const auto opened = archive::Archive::Open(ArchivePath(), error);
        EXPECT_TRUE(opened && opened->ReadTotals(totals, error)) << error;
        return totals.count;
    }
    void Start(bool plugged = true) {
        if (plugged) bus->Plug(meter);
        PanelServices services = Folders();
        services.shell = shell;
        services.messageBox = messages;
        services.spreadsheet = spreadsheet;
        services.blockedMeter = blockedMeter;
        services.runSaveDialog = [this](QFileDialog& dialog, QString& name, int& type) {
            ++dialogRuns;
            dialogFolders << dialog.directory().absolutePath();
            name = dialogName;
            type = dialogType;
            return !dialogName.isEmpty();
        };
        form1 = std::make_unique<TForm1>(services);
        form2 = TForm2::Create(bus);
        form2->FormCreate();
        form4 = std::make_unique<TForm4>();
        form1->Attach(form2, form4.get());
        Poll();
        form1->FormActivate();
        ASSERT_EQ(form1->Activated, 1);
        form1->Timer1Timer();  // the first idle step
    }
    void Poll() {
        form2->Timer1Timer();
        ASSERT_TRUE(form2->WaitForExchangeThreads(std::chrono::seconds(10)));
    }
    ImageControl* Control(const char* name) { return form1->findChild<ImageControl*>(name); }
    void Click(const char* name, Qt::MouseButton button = Qt::LeftButton) {
        QTest::mousePress(Control(name), button, Qt::NoModifier, QPoint(2, 2));
        QTest::mouseRelease(Control(name), button, Qt::NoModifier, QPoint(2, 2));
    }
    // What the display shows, as the display strip's cell it was copied from.
    QImage Cell(int row, int column) {
        const SkinStrip& strip = form1->Skin()->Display();
        return strip.bitmap.copy(column * strip.columnWidth, row * strip.rowHeight,
                                 strip.columnWidth, strip.rowHeight);
    }
    bool Shows(int row, int column) {
        return Control("Image8")->grab().toImage().convertToFormat(QImage::Format_RGB32) ==
               Cell(row, column).convertToFormat(QImage::Format_RGB32);
    }
    // Runs timer steps until the panel is idle again (an export or a clearing has ended).
    void RunUntilIdle() {
        for (int i = 0; i < 200 && form1->PanelState != kPanelIdle; ++i) {
            form2->WaitWhileBusy();
            EXPECT_TRUE(form1->WaitForArchiveJob(std::chrono::seconds(10)));
            form1->Timer1Timer();
        }
    }
};

TEST_F(PanelTest, LanguageFile) {
    auto startWith = [&](const char* content) {
        QFile::remove("Lang");
        if (content) {
            QFile file("Lang");
            file.open(QIODevice::WriteOnly);
            file.write(content);
        }
        PanelServices services = Folders();
        TForm1 form(services);
        return Language;
    };
    EXPECT_EQ(startWith(nullptr), 0);
    EXPECT_EQ(ReadFile("Lang"), "0");
    EXPECT_EQ(startWith("1xyz"), 1);
    EXPECT_EQ(ReadFile("Lang"), "1xyz");
    EXPECT_EQ(startWith("7"), 0);
    EXPECT_EQ(ReadFile("Lang"), "7");
    EXPECT_EQ(startWith(""), 0);
    EXPECT_EQ(ReadFile("Lang"), "");

    startWith("0abc");
    PanelServices services = Folders();
    TForm1 form(services);
    form.LoadLanguage(1);
    EXPECT_EQ(Language, 1);
    EXPECT_EQ(ReadFile("Lang"), "1");

    // A FIFO, a link or a huge file under the name is neither waited on, nor followed, nor
    // replaced: the language is the one asked for, or Russian at the start.
#ifndef _WIN32
    QFile::remove("Lang");
    ASSERT_EQ(::mkfifo("Lang", 0600), 0);
    {
        TForm1 fresh(services);
        EXPECT_EQ(Language, 0);
    }
    form.LoadLanguage(1);
    EXPECT_EQ(Language, 1);
    EXPECT_EQ(fs::status("Lang").type(), fs::file_type::fifo);
    for (const char* target : {"elsewhere/Lang", "victim"}) {
        QFile::remove("Lang");
        fs::create_symlink(target, "Lang");
        form.LoadLanguage(1);
        EXPECT_EQ(Language, 1);
        form.LoadLanguage(255);
        EXPECT_EQ(Language, 0);
        EXPECT_TRUE(fs::is_symlink("Lang"));
        EXPECT_FALSE(fs::exists(target));
    }
#endif
    QFile::remove("Lang");
    std::ofstream("Lang") << "1" << std::string(1000, ' ');
    form.LoadLanguage(255);
    EXPECT_EQ(Language, 0);
    EXPECT_EQ(fs::file_size("Lang"), 1001u);

    // A read-only file is not replaced, yet the language asked for (the meter's) is the one shown.
    QFile::remove("Lang");
    std::ofstream("Lang") << "1";
    fs::permissions("Lang", fs::perms::owner_read);
    form.LoadLanguage(0);
    EXPECT_EQ(Language, 0);
    EXPECT_EQ(ReadFile("Lang"), "1");
    form.LoadLanguage(255);
    EXPECT_EQ(Language, 1);
}

TEST_F(PanelTest, ConnectingTakesOverTheMetersLanguage) {
    QFile::remove("Lang");
    Start();
    EXPECT_EQ(Language, 1);  // the demo meter speaks English
    EXPECT_EQ(ReadFile("Lang"), "1");
    EXPECT_TRUE(Shows(1, 1));
    EXPECT_EQ(form1->ConnectedShown, 1);
    EXPECT_EQ(form1->Timer1->interval(), 1000);

    // Activated again: the skin is not loaded again, the timer not restarted.
    form1->Timer1->stop();
    form1->FormActivate();
    EXPECT_FALSE(form1->Timer1->isActive());
}

// The help key opens the page of the panel's language from the skin's folder, through the
// system's handler; a missing page opens nothing.
TEST_F(PanelTest, HelpOpensThePageOfTheLanguage) {
    Start();
    ASSERT_EQ(Language, 1);
    Click("Image9");
    EXPECT_TRUE(shell->opened.empty());
    for (const char* page : {"helpa.htm", "helpr.htm"}) {
        QFile file(QDir(dir.path()).filePath(page));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    Click("Image9");
    form1->LoadLanguage(0);
    Click("Image9");
    ASSERT_EQ(shell->opened.size(), 2u);
    EXPECT_EQ(QString::fromStdString(shell->opened[0]), QDir(dir.path()).filePath("helpa.htm"));
    EXPECT_EQ(QString::fromStdString(shell->opened[1]), QDir(dir.path()).filePath("helpr.htm"));
}

TEST_F(PanelTest, NoMeterKeysRestAndTheLampIsDark) {
    Start(false);
    EXPECT_TRUE(Shows(3, 0));
    EXPECT_EQ(form1->ConnectedShown, 0);
    Click("Image2");
    EXPECT_TRUE(Shows(3, 0));
    EXPECT_EQ(form1->Skin()->Button(kButtonEnter).pressed, 0);
    EXPECT_TRUE(form4->isHidden());
}

TEST_F(PanelTest, ThreeEntersExportWithEachFormat) {
    Start();
    struct Case {
        int type;
        const char* name;
        const char* file;
    };
    for (const Case& c :
         {Case{1, "results", "results.htm"}, Case{2, "results.CSV", "results.CSV"},
          Case{3, "book.csv", "book.csv.xlsx"}}) {
        SCOPED_TRACE(c.file);
        dialogName = QDir(dir.path()).filePath(c.name);
        dialogType = c.type;
        form1->Timer1Timer();
        ASSERT_EQ(form1->ConnectedShown, 1);
        Click("Image2");  // the menu, nothing marked
        EXPECT_TRUE(form4->isVisible());
        EXPECT_EQ(form1->Skin()->CurrentMenuRow(), 0);
        Click("Image2", Qt::RightButton);  // item 1 marked; any button acts
        EXPECT_EQ(form1->Skin()->CurrentMenuRow(), 1);
        Click("Image2");  // runs it
        EXPECT_TRUE(form4->isHidden());
        EXPECT_EQ(form1->PanelState, kPanelExporting);
        RunUntilIdle();
        EXPECT_TRUE(Shows(4, 1));
        const QString file = QDir(dir.path()).filePath(c.file);
        ASSERT_TRUE(QFile::exists(file));
        if (c.type == 2) {
            const std::string csv = ReadFile(file);
            EXPECT_EQ(csv.rfind("\xB9 Measure;Value, Bq/m3;Time;Date\r\n1;", 0), 0u);
            EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 248);
        }
        // The done row stays for 1.5 s, then the connected row.
        EXPECT_EQ(form1->Timer1->interval(), 1500);
        form1->Timer1Timer();
        EXPECT_TRUE(Shows(1, 1));
    }
    EXPECT_TRUE(messages->shown.empty());
    // Every export put the valid results into the archive, each once.
    EXPECT_EQ(Archived(), 247u);
}

// The fourth type: the results are read and archived, and a report of the archive is written
// and opened. An archive that cannot be opened is told once; the export still happens.
TEST_F(PanelTest, PdfReportAndArchiveTrouble) {
    Start();
    ASSERT_EQ(form1->SaveTypes().back(), "PDF report");
    dialogName = QDir(dir.path()).filePath("report");
    dialogType = static_cast<int>(form1->SaveTypes().size());
    form1->StartExport();
    ASSERT_EQ(form1->PanelState, kPanelExporting);
    RunUntilIdle();
    EXPECT_TRUE(Shows(4, 1));
    const QString pdf = QDir(dir.path()).filePath("report.pdf");
    EXPECT_EQ(ReadFile(pdf).rfind("%PDF", 0), 0u);
    EXPECT_EQ(shell->opened.back(), pdf.toStdString());
    EXPECT_EQ(Archived(), 247u);
    EXPECT_TRUE(messages->shown.empty());

    archiveRefused = "the disk is full";
    dialogType = 1;
    for (int i = 0; i < 2; ++i) {
        form1->Timer1Timer();
        form1->Timer1Timer();
        dialogName = QDir(dir.path()).filePath("page" + QString::number(i));
        form1->StartExport();
        RunUntilIdle();
        EXPECT_TRUE(Shows(4, 1));
        EXPECT_TRUE(QFile::exists(dialogName + ".htm"));
    }
    ASSERT_EQ(messages->shown.size(), 1u);
    EXPECT_NE(messages->shown[0].find("the disk is full"), std::string::npos);
}

TEST_F(PanelTest, UnplugDuringAnExportKeepsTheEarlierFile) {
    Start();
    const QString file = QDir(dir.path()).filePath("keep.htm");
    std::ofstream(file.toStdString()) << "earlier";
    dialogName = QDir(dir.path()).filePath("keep");
    dialogType = 1;
    meter->SetLatency(std::chrono::microseconds(200));
    form1->StartExport();
    ASSERT_EQ(form1->PanelState, kPanelExporting);
    bus->Unplug(meter.get());
    form2->WaitWhileBusy();
    Poll();
    ASSERT_EQ(form2->connected.load(), 0);
    form1->Timer1Timer();
    EXPECT_EQ(form1->PanelState, kPanelIdle);
    EXPECT_TRUE(Shows(3, 1));
    EXPECT_EQ(ReadFile(file), "earlier");
    EXPECT_FALSE(TheRawFile().IsOpen());
    for (const auto& entry : fs::directory_iterator(dir.path().toStdString())) {
        EXPECT_NE(entry.path().extension(), ".part");
    }
}

TEST_F(PanelTest, ClearConfirmationNoThenYes) {
    Start();
    form1->RequestClearMemory();
    EXPECT_TRUE(Shows(12, 1));
    Click("Image3");
    EXPECT_TRUE(Shows(13, 1));
    Click("Image4");
    EXPECT_TRUE(Shows(12, 1));
    Click("Image2");  // No
    EXPECT_TRUE(Shows(1, 1));
    EXPECT_EQ(form1->PanelState, kPanelIdle);
    EXPECT_NE(meter->Memory()[memory::kHeaderAddress + 4], 0);

    form1->RequestClearMemory();
    Click("Image4");
    Click("Image2");  // Yes
    EXPECT_EQ(form1->PanelState, kPanelClearReading);
    RunUntilIdle();
    EXPECT_TRUE(Shows(4, 1));
    const auto header = memory::DecodeHeader(meter->Memory().data() + memory::kHeaderAddress);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->recordCount, 0);
    // Nothing was lost: every valid result went into the archive first.
    EXPECT_EQ(Archived(), 247u);
    EXPECT_TRUE(messages->shown.empty());
    form1->Timer1Timer();
    EXPECT_TRUE(Shows(1, 1));

    // Nothing stored: row 11, no question.
    form1->RequestClearMemory();
    EXPECT_TRUE(Shows(11, 1));
    dialogName = "never";
    form1->StartExport();
    EXPECT_EQ(dialogRuns, 0);
}

// A clearing whose results cannot be archived, or whose meter goes away while they are read,
// clears nothing and says why.
TEST_F(PanelTest, ClearingClearsNothingUnlessArchived) {
    Start();
    const auto count = [this] {
        return memory::DecodeHeader(meter->Memory().data() + memory::kHeaderAddress)->recordCount;
    };
    archiveRefused = "the archive is not ours";
    form1->RequestClearMemory();
    Click("Image4");
    Click("Image2");  // Yes
    RunUntilIdle();
    EXPECT_EQ(count(), 250);
    ASSERT_EQ(messages->shown.size(), 1u);
    EXPECT_NE(messages->shown[0].find("nothing was cleared"), std::string::npos);
    EXPECT_NE(messages->shown[0].find("the archive is not ours"), std::string::npos);

    archiveRefused.clear();
    form1->Timer1Timer();
    meter->SetLatency(std::chrono::microseconds(300));
    form1->RequestClearMemory();
    Click("Image4");
    Click("Image2");
    ASSERT_EQ(form1->PanelState, kPanelClearReading);
    form1->Timer1Timer();
    bus->Unplug(meter.get());
    form2->WaitWhileBusy();
    Poll();
    form1->Timer1Timer();
    EXPECT_EQ(form1->PanelState, kPanelIdle);
    EXPECT_TRUE(Shows(3, 1));  // the meter is gone, shown before it is told
    EXPECT_EQ(count(), 250);
    ASSERT_EQ(messages->shown.size(), 2u);
    EXPECT_NE(messages->shown[1].find("nothing was cleared"), std::string::npos);
}

TEST_F(PanelTest, MenuZonesKeysAndItems) {
    Start();
    Click("Image2");
    ImageControl* menu = form4->Image1;
    auto hover = [&](int y) {
        QMouseEvent move(QEvent::MouseMove, QPointF(5, y), menu->mapToGlobal(QPointF(5, y)),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(menu, &move);
    };
    hover(26);
    EXPECT_EQ(form1->Skin()->CurrentMenuRow(), 1);
    hover(27);
    EXPECT_EQ(form1->Skin()->CurrentMenuRow(), 1);
    hover(28);
    EXPECT_EQ(form1->Skin()->CurrentMenuRow(), 2);
    hover(100);
    EXPECT_EQ(form1->Skin()->CurrentMenuRow(), 4);
    // Below the last item: nothing marked, and a click there runs nothing.
    hover(113);
    EXPECT_EQ(form1->Skin()->CurrentMenuRow(), 5);
    const SkinStrip& strip = form1->Skin()->Menu();
    const QImage unmarked =
        strip.bitmap.copy(Language * strip.columnWidth, 0, strip.columnWidth, strip.rowHeight);
    EXPECT_EQ(menu->grab().toImage().convertToFormat(QImage::Format_RGB32), unmarked);
    QTest::mouseClick(menu, Qt::LeftButton, Qt::NoModifier, QPoint(5, 113));
    EXPECT_TRUE(form4->isVisible());
    EXPECT_EQ(form1->PanelState, kPanelIdle);
    Click("Image4");
    EXPECT_EQ(form1->Skin()->CurrentMenuRow(), 1);
    Click("Image3");
    EXPECT_EQ(form1->Skin()->CurrentMenuRow(), 4);

    // Item 3: the menu goes, the connected row shows, the meter's clock is set.
    form1->Skin()->ShowStripRow(kTargetMenu, 3);
    form4->Image1Click();
    EXPECT_TRUE(form4->isHidden());
    EXPECT_TRUE(Shows(1, 1));
    EXPECT_TRUE(meter->ClockWasSet());

    // Drag only from the top 30 pixels.
    const QPoint start = form1->pos();
    QTest::mousePress(Control("Image1"), Qt::LeftButton, Qt::NoModifier, QPoint(100, 40));
    form1->Image1MouseMove(Qt::NoModifier, 120, 60);
    EXPECT_EQ(form1->pos(), start);
    form1->Image1MouseUp(Qt::LeftButton, Qt::NoModifier, 120, 60);
    form1->Image1MouseDown(Qt::LeftButton, Qt::NoModifier, 100, 10);
    form1->Image1MouseMove(Qt::NoModifier, 120, 25);
    EXPECT_EQ(form1->pos(), start + QPoint(20, 15));
    form1->Image1MouseUp(Qt::LeftButton, Qt::NoModifier, 120, 25);

    // Dragged past the screen's edges the panel stops at them; the menu opens beside it, on the
    // left when the right has no room.
    const QRect screen = form1->screen()->availableGeometry();
    for (const QPoint by : {QPoint(-5000, -5000), QPoint(5000, 5000)}) {
        form1->Image1MouseDown(Qt::LeftButton, Qt::NoModifier, 100, 10);
        form1->Image1MouseMove(Qt::NoModifier, 100 + by.x(), 10 + by.y());
        form1->Image1MouseUp(Qt::LeftButton, Qt::NoModifier, 100 + by.x(), 10 + by.y());
        Click("Image2");
        ASSERT_TRUE(form4->isVisible());
        EXPECT_TRUE(screen.contains(form4->geometry()));
        if (by.x() < 0) {
            EXPECT_EQ(form1->pos(), screen.topLeft());
            EXPECT_EQ(form4->pos(), form1->pos() + QPoint(300, 260));
        } else {
            EXPECT_EQ(form1->geometry().bottomRight(), screen.bottomRight());
            EXPECT_LT(form4->x(), form1->x());
        }
        form1->Skin()->HideMenu();
    }
}

TEST_F(PanelTest, ExitClosesAnOpenWorkbook) {
    auto recorder = std::make_shared<automation::Recorder>();
    spreadsheet = recorder;
    Start();
    dialogName = QDir(dir.path()).filePath("open");
    dialogType = 3;
    form1->StartExport();
    ASSERT_EQ(form1->PanelState, kPanelExporting);
    form1->Skin()->ShowStripRow(kTargetMenu, 4);
    form4->ExecuteSelected();
    const auto& log = recorder->Log();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "Excel.Application.Workbooks(Integer 1) Put Saved = Boolean -1"),
              log.end());
    EXPECT_FALSE(QFile::exists(QDir(dir.path()).filePath("open.xlsx")));
}

TEST_F(PanelTest, ExportsThatCannotStartSayWhy) {
    Start();
    // A memory header that is not valid: neither an export nor a clearing happens, the user is
    // told so, and the connected screen is back; never the done row.
    meter->SetByte(memory::kHeaderAddress,
                   static_cast<std::uint8_t>(meter->Byte(memory::kHeaderAddress) ^ 1));
    dialogName = QDir(dir.path()).filePath("x");
    dialogType = 2;
    form1->StartExport();
    form1->RequestClearMemory();
    Click("Image4");
    Click("Image2");  // Yes
    EXPECT_TRUE(Shows(1, 1));
    EXPECT_EQ(form1->PanelState, kPanelIdle);
    EXPECT_FALSE(QFile::exists(dialogName + ".csv"));
    EXPECT_EQ(messages->shown,
              (std::vector<std::string>{
                  "The meter's memory could not be read; nothing was exported.",
                  "The meter's memory could not be read; nothing was cleared."}));
    EXPECT_EQ(meter->Memory()[memory::kHeaderAddress + 4],
              sim::DemoMemoryImage()[memory::kHeaderAddress + 4]);
    messages->shown.clear();
    meter->SetMemory(sim::DemoMemoryImage());

    // A folder that does not exist: idle again, and a message that names the file and the reason.
    form1->Timer1Timer();
    dialogName = QDir(dir.path()).filePath("missing/x");
    form1->StartExport();
    EXPECT_EQ(form1->PanelState, kPanelIdle);
    ASSERT_EQ(messages->shown.size(), 1u);
    EXPECT_NE(messages->shown[0].find("missing/x.csv"), std::string::npos);
#ifdef _WIN32
    // The system's own wording differs between Windows and Wine.
    EXPECT_NE(messages->shown[0].find("cannot open the folder"), std::string::npos)
        << messages->shown[0];
#else
    EXPECT_NE(messages->shown[0].find("No such file"), std::string::npos);
#endif
    EXPECT_FALSE(Shows(4, 1));
}

// Another program keeps the meter: the no-meter screen, and one message while it lasts.
TEST_F(PanelTest, AMeterHeldByAnotherProgramIsToldOnce) {
    bus->SetShared(true);
    Start();
    EXPECT_TRUE(Shows(1, 1));
    form2->Usb().SetLockWait(std::chrono::milliseconds(20));
    const auto holder = bus->OpenDeviceLock(bus->PathOf(meter.get()));
    ASSERT_EQ(holder->TryLock(), HidDeviceLock::Result::kHeld);
    for (int i = 0; i < 3; ++i) {
        Poll();
        form1->Timer1Timer();
    }
    EXPECT_TRUE(Shows(3, 1));
    EXPECT_EQ(messages->shown, std::vector<std::string>{"The meter is in use by another program."});
    holder->Unlock();
    Poll();
    form1->Timer1Timer();
    EXPECT_TRUE(Shows(1, 1));
    ASSERT_EQ(holder->TryLock(), HidDeviceLock::Result::kHeld);
    Poll();
    Poll();
    form1->Timer1Timer();
    EXPECT_EQ(messages->shown.size(), 2u);
}

// A meter that this user may not open: the no-meter screen, and one message in the interface's
// language per plug (a replug shows as the node gone for a while, or as a new device behind
// it); nobody asks while a meter is connected.
TEST_F(PanelTest, AMeterThisUserMayNotOpenIsToldOncePerPlug) {
    std::optional<BlockedMeter> blocked = BlockedMeter{"/dev/hidraw3", "0003:03EB:5603.0001"};
    int asked = 0;
    blockedMeter = [&] {
        ++asked;
        return blocked;
    };
    const auto russian = [](const char* node) {
        return std::string("Прибор подключён (") + node +
               "), но этому пользователю нельзя его открыть. Установите правило udev: установите "
               "пакет Tavex (sudo apt-get install) или скопируйте 60-tavex-qx482tda.rules в "
               "/etc/udev/rules.d/ и переподключите прибор.";
    };
    const auto english = [](const char* node) {
        return std::string("The meter is connected (") + node +
               ") but this user may not open it. Install the udev rule: install the Tavex "
               "package (sudo apt-get install), or copy 60-tavex-qx482tda.rules to "
               "/etc/udev/rules.d/ and replug the meter.";
    };
    std::vector<std::string> expected;
    const auto steps = [&](int count) {
        for (int i = 0; i < count; ++i) {
            Poll();
            form1->Timer1Timer();
        }
        EXPECT_EQ(messages->shown, expected);
    };
    Start(false);
    EXPECT_TRUE(Shows(3, 0));
    expected.push_back(russian("/dev/hidraw3"));
    steps(3);

    form1->LoadLanguage(1);
    blocked.reset();  // unplugged
    steps(2);
    blocked = BlockedMeter{"/dev/hidraw3", "0003:03EB:5603.0002"};
    expected.push_back(english("/dev/hidraw3"));
    steps(2);
    blocked->device = "0003:03EB:5603.0003";  // replugged between two looks
    expected.push_back(english("/dev/hidraw3"));
    steps(2);
    blocked = BlockedMeter{"/dev/hidraw5", "0003:03EB:5603.0004"};
    expected.push_back(english("/dev/hidraw5"));
    steps(2);

    bus->Plug(meter);
    steps(1);
    ASSERT_EQ(form1->ConnectedShown, 1);
    asked = 0;
    steps(3);
    EXPECT_EQ(asked, 0);
}

// Counts Qt's warnings about painting while it lives.
class PaintWarnings {
public:
    PaintWarnings() : previous_(qInstallMessageHandler(&Handle)) { count_ = 0; }
    ~PaintWarnings() { qInstallMessageHandler(previous_); }
    int Count() const { return count_; }

private:
    static void Handle(QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtWarningMsg && text.contains(QLatin1String("QPainter"))) ++count_;
    }
    static inline int count_ = 0;
    QtMessageHandler previous_;
};

// A skin file that is not a picture is told once, in the interface's language; a missing skin is
// looked for quietly. The window without its skin closes from the keyboard and from its close
// key, and nothing paints on the pictures it lacks.
TEST_F(PanelTest, ABrokenSkinIsReportedOnce) {
    QFile::remove("mddwen.dat");
    QFile broken("mddwen.dat");
    broken.open(QIODevice::WriteOnly);
    broken.write("no picture");
    broken.close();
    bus->Plug(meter);
    PanelServices services = Folders();
    services.messageBox = messages;
    auto exchange = TForm2::Create(bus);
    const std::pair<std::uint8_t, const char*> languages[] = {
        {0, "Не удаётся загрузить оформление панели"}, {1, "The panel's skin cannot be loaded"}};
    for (const auto& [language, words] : languages) {
        TForm1 form(services);
        Language = language;
        TForm4 menu;
        form.Attach(exchange, &menu);
        const std::size_t before = messages->shown.size();
        form.FormActivate();
        form.FormActivate();
        EXPECT_EQ(form.Activated, 0);
        ASSERT_EQ(messages->shown.size(), before + 1);
        EXPECT_NE(messages->shown.back().find("mddwen.dat"), std::string::npos);
        EXPECT_NE(messages->shown.back().find(words), std::string::npos) << messages->shown.back();
        // Without its skin the window still closes from the keyboard.
        form.show();
        QTest::keyClick(&form, Qt::Key_Escape);
        EXPECT_FALSE(form.isVisible());
    }

    QFile::remove("mddwen.dat");
    const std::size_t told = messages->shown.size();
    TForm1 form(services);
    Language = 0;
    TForm4 menu;
    form.Attach(exchange, &menu);
    form.FormActivate();
    EXPECT_EQ(messages->shown.size(), told);
    form.show();
    const PaintWarnings warnings;
    QTest::mousePress(form.Image6, Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
    QTest::mouseRelease(form.Image6, Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(warnings.Count(), 0);
}

// The Simulator window follows the meter the panel changes, and what it changes reaches the panel
// without a hand on the plug: the meter reconnects by itself once the panel has seen it go.
TEST_F(PanelTest, SimulatorChangesReachThePanel) {
    Start();
    SimulatorWindow simulator(bus, meter);
    simulator.SetPanelSawLoss([this] { return form1->DisconnectedShown != 0; });
    const QLabel* status = simulator.findChild<QLabel*>("Status");
    EXPECT_EQ(status->text(), "250 results stored");
    form2->ClearMemory();
    form2->WaitWhileBusy();
    EXPECT_TRUE(QTest::qWaitFor([&] { return status->text() == "0 results stored"; }, 10000));

    const auto reconnect = [&](const std::function<void()>& change) {
        change();
        EXPECT_FALSE(bus->IsPlugged(meter.get()));
        EXPECT_FALSE(simulator.findChild<QCheckBox*>("Plugged")->isChecked());
        simulator.ReplugStep();  // the panel has not seen the meter go yet
        EXPECT_FALSE(bus->IsPlugged(meter.get()));
        Poll();
        form1->Timer1Timer();
        simulator.ReplugStep();
        EXPECT_TRUE(bus->IsPlugged(meter.get()));
        EXPECT_FALSE(simulator.Reconnecting());
        Poll();
        form1->Timer1Timer();
    };
    reconnect([&] { simulator.findChild<QPushButton*>("Refill")->click(); });
    EXPECT_EQ(status->text(), "250 results stored");
    EXPECT_EQ(form2->recordCount.load(), 250u);
    EXPECT_TRUE(Shows(1, 1));
    reconnect([&] { simulator.findChild<QComboBox*>("Language")->setCurrentIndex(0); });
    EXPECT_EQ(Language, 0);
    EXPECT_TRUE(Shows(1, 0));

    // Unplugged, a change waits for the plug.
    simulator.findChild<QCheckBox*>("Plugged")->setChecked(false);
    simulator.findChild<QComboBox*>("Unit")->setCurrentIndex(1);
    EXPECT_FALSE(simulator.Reconnecting());
    EXPECT_FALSE(bus->IsPlugged(meter.get()));
}

// Closing the panel ends the demo, even while the Simulator window is open.
TEST_F(PanelTest, ClosingThePanelEndsTheDemo) {
    Start();
    SimulatorWindow simulator(bus, meter);
    simulator.show();
    form1->show();
    QTimer::singleShot(0, form1.get(), [this] { Click("Image6"); });
    // Only bounds a failure: the close ends the loop at once.
    QTimer stuck;
    stuck.setSingleShot(true);
    QObject::connect(&stuck, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    stuck.start(10000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
}

// Without a single tick of the panel's timer, the end of each chunk read, of the archive's work
// and of the clearing takes the next step: the first poll shows the meter, an export and a
// clearing run to their done row.
TEST_F(PanelTest, TheMetersOwnPaceDrivesThePanel) {
    bus->Plug(meter);
    PanelServices services = Folders();
    services.messageBox = messages;
    services.shell = shell;
    services.spreadsheet = spreadsheet;
    services.runSaveDialog = [this](QFileDialog&, QString& name, int& type) {
        name = QDir(dir.path()).filePath("paced");
        type = 1;
        return true;
    };
    form1 = std::make_unique<TForm1>(services);
    form2 = TForm2::Create(bus);
    form2->FormCreate();
    form4 = std::make_unique<TForm4>();
    form1->Attach(form2, form4.get());
    form1->Timer1->blockSignals(true);
    form1->FormActivate();
    form2->Timer1Timer();  // the first poll, not waited for
    auto runUntil = [](const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done() && std::chrono::steady_clock::now() < limit) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        return done();
    };
    ASSERT_TRUE(runUntil([&] { return form1->ConnectedShown == 1; }));
    EXPECT_TRUE(Shows(1, 1));
    // Until a file is asked for, there is no save dialog.
    EXPECT_EQ(form1->findChild<QFileDialog*>(), nullptr);
    form1->StartExport();
    ASSERT_TRUE(runUntil([&] { return form1->PanelState == kPanelIdle; }));
    EXPECT_TRUE(Shows(4, 1));
    EXPECT_TRUE(QFile::exists(QDir(dir.path()).filePath("paced.htm")));
    form1->Timer1Timer();  // the done row's time is up
    form1->RequestClearMemory();
    Click("Image4");
    Click("Image2");  // Yes
    ASSERT_TRUE(runUntil([&] { return form1->PanelState == kPanelIdle; }));
    EXPECT_TRUE(Shows(4, 1));
    EXPECT_EQ(memory::DecodeHeader(meter->Memory().data() + memory::kHeaderAddress)->recordCount, 0);
    EXPECT_EQ(Archived(), 247u);
    EXPECT_TRUE(messages->shown.empty());
}

#ifndef _WIN32
// The save dialog opens in Documents, or at home where there is none; after an export, in the
// folder the file went to, not in a folder only browsed.
TEST_F(PanelTest, TheSaveDialogOpensWhereTheLastFileWent) {
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", dir.path().toUtf8());
    Start();
    QDir(dir.path()).mkpath("out");
    dialogName = QDir(dir.path()).filePath("out/first");
    form1->StartExport();
    RunUntilIdle();
    QDir(dir.path()).mkpath("Documents");
    form1->Timer1Timer();
    dialogName.clear();  // the dialog cancelled
    form1->StartExport();
    form1->SaveDialog1->setDirectory(QDir::rootPath());  // browsed elsewhere, then cancelled
    form1->StartExport();
    qputenv("HOME", oldHome);
    EXPECT_EQ(dialogFolders, (QStringList{dir.path(), QDir(dir.path()).filePath("out"),
                                          QDir(dir.path()).filePath("out")}));
}
#endif

}  // namespace
}  // namespace tavex
