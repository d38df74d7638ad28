// The workbook export on the COM road: the simulated meter's results exported in Russian and
// pCi/l through the application registered as "Excel.Application" (the test server), saved as
// export.xlsx in the current folder. The ctest that follows reads it back with
// tests/export/check_workbook.py against export_expected.json, as the Linux export is read back.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "export/automation/com_automation.h"
#include "export/automation/workbook_engine.h"
#include "export/excel.h"
#include "export/files.h"
#include "export/formfileexel.h"
#include "instrument/memory_map.h"
#include "instrument/protokol.h"
#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"
#include "tests/export/com/server_log.h"

namespace tavex {
namespace {

namespace fs = std::filesystem;
using memory::StoredRecord;

class NoShell : public Shell {
public:
    bool OpenDocument(const std::string&) override { return false; }
    bool StartCommand(const std::string&) override { return false; }
};

StoredRecord At(std::uint16_t raw, int hour, int minute = 5) {
    return {raw, static_cast<std::uint8_t>(minute), static_cast<std::uint8_t>(hour), 7, 3, 21, 0};
}

TEST(ComExport, TheExportsWorkbookIsSavedThroughCom) {
    // Three results, newest first, ending at slot 3; the middle one has month 13 and is left out.
    sim::MemoryImage image{};
    image[memory::kLanguageAddress] = 1;
    image[memory::kUnitAddress] = 1;
    const auto header = memory::EncodeHeader({3, 3});
    std::copy(header.begin(), header.end(), image.begin() + memory::kHeaderAddress);
    std::uint32_t slot = 3;
    for (const StoredRecord& r : {At(100, 12), At(41, 11), At(1177, 9, 60)}) {
        const auto bytes = memory::EncodeRecord(r);
        std::copy(bytes.begin(), bytes.end(), image.begin() + memory::SlotAddress(slot));
        slot = memory::PreviousSlot(slot);
    }
    auto meter = std::make_shared<sim::SimMeter>(image);
    meter->SetByte(memory::SlotAddress(2) + 5, 13);
    auto bus = std::make_shared<sim::SimBus>();
    bus->Plug(meter);
    auto form = TForm2::Create(bus);
    form->FormCreate();
    form->Timer1Timer();
    ASSERT_TRUE(form->WaitForExchangeThreads(std::chrono::seconds(10)));
    ASSERT_EQ(form->connected.load(), 1);

    Excel excel(automation::MakeSpreadsheetFactory(), nullptr);
    RawFile file;
    NoShell shell;
    const std::uint8_t language = 0;
    {
        Formfileexel exporter(*form, excel, file, shell, language);
        const fs::path target = fs::current_path() / "export.xlsx";
        fs::remove(target);
        com_test::ClearServerLog();
        form->ReadMemoryHeader();
        ASSERT_TRUE(exporter.BeginExport(kFormatXls, "export.xlsx")) << exporter.ExportError();
        for (int guard = 0; guard < 100 && exporter.ExportState() == kExportRunning; ++guard) {
            form->WaitWhileBusy();
            exporter.ExportNext();
        }
        ASSERT_EQ(exporter.ExportProgress(), kProgressDone) << exporter.ExportError();
        EXPECT_TRUE(fs::is_regular_file(target));

        // The export's values reached the application with their types.
        const std::string log = com_test::ServerLog();
        for (const std::string& line : std::vector<std::string>{
                 "Put SheetsInNewWorkbook = Byte 1", "Get Item(Byte 1)",
                 "Put Name = Text \"Результаты измерений\"", "Put Bold = Boolean -1",
                 "Put Italic = Boolean -1", "Put DisplayAlerts = Boolean 0",
                 "Put Visible = Boolean -1", "Call SaveAs(Text \"" + target.string() + "\")"}) {
            EXPECT_NE(log.find(line + "\n"), std::string::npos) << line << "\n" << log;
        }
    }
    EXPECT_TRUE(form->WaitForExchangeThreads(std::chrono::seconds(10)));
}

}  // namespace
}  // namespace tavex
