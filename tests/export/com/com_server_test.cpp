// The COM road against the test server registered as "Excel.Application" (the built-in engine
// behind IDispatch, see test_server.cpp): the choice of application, values and errors across
// a real COM boundary, and SaveAs under the file replacement rule.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "export/automation/com_automation.h"
#include "export/automation/workbook_engine.h"
#include "tests/export/com/error_message.h"
#include "export/automation/com_variant.h"
#include "export/automation/recorder.h"
#include "tests/export/com/server_log.h"

namespace tavex {

namespace com_test {

namespace {
template <typename Function>
Function ServerFunction(const char* name) {
    const HMODULE server = ::GetModuleHandleW(L"tavex_com_test_server.dll");
    return server
               ? reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(server, name)))
               : nullptr;
}
}  // namespace

std::string ServerLog() {
    const auto log = ServerFunction<const char* (*)()>("TavexTestServerLog");
    return log ? log() : "";
}

void ClearServerLog() {
    if (const auto clear = ServerFunction<void (*)()>("TavexTestServerClearLog")) clear();
}

}  // namespace com_test

namespace automation {
namespace {

namespace fs = std::filesystem;
using com_test::ServerLog;
using com_test::Message;

ObjectRef Obj(const ObjectRef& object, const std::string& name, const Arguments& args = {}) {
    return object->Get(name, args).AsObject();
}

bool Logged(const std::string& line) {
    return ServerLog().find(line + "\n") != std::string::npos;
}


TEST(ComServer, TheRegisteredApplicationIsChosenAndValuesCrossBothWays) {
    ASSERT_TRUE(ComApplications::IsRegistered("Excel.Application"))
        << "the test setup registers the test server in this Wine prefix";
    const ObjectRef app = MakeSpreadsheetFactory()->Create("Excel.Application");
    IDispatch* dispatch = com::DispatchBehind(app);
    ASSERT_NE(dispatch, nullptr) << "not the COM road";
    dispatch->Release();

    // Unregistered names go to the fallback.
    auto recorder = std::make_shared<Recorder>();
    PreferComApplications prefer(recorder);
    prefer.Create("Tavex.NotRegistered");
    EXPECT_EQ(recorder->Log(), std::vector<std::string>{"Create Tavex.NotRegistered"});

    com_test::ClearServerLog();
    app->Put("SheetsInNewWorkbook", Variant::Byte(2));
    const ObjectRef book = Obj(app, "Workbooks")->Call("Add").AsObject();
    const ObjectRef sheet = Obj(book, "Worksheets", {Variant::Integer(2)});
    const std::string name = "Результаты \xF0\x9D\x84\x9E";  // and one beyond 16 bits
    sheet->Put("Name", Variant::Text(name));
    EXPECT_EQ(sheet->Get("Name"), Variant::Text(name));
    app->Put("Visible", Variant::Boolean(true));
    EXPECT_EQ(app->Get("Visible").Describe(), "Boolean -1");
    EXPECT_EQ(app->Get("SheetsInNewWorkbook"), Variant::Integer(2));
    // The server saw each value with its type.
    EXPECT_TRUE(Logged("Put SheetsInNewWorkbook = Byte 2")) << ServerLog();
    EXPECT_TRUE(Logged("Get Worksheets(Integer 2)")) << ServerLog();
    EXPECT_TRUE(Logged("Put Name = Text \"" + name + "\"")) << ServerLog();
    EXPECT_TRUE(Logged("Put Visible = Boolean -1")) << ServerLog();

    // The application's own errors arrive with its words; an object goes back as itself.
    EXPECT_EQ(Message([&] { app->Get("Nope"); }),
              "Excel.Application Get Nope: Application has no property \"Nope\" (Tavex test "
              "server)");
    const ObjectRef cell = Obj(sheet, "Range", {Variant::Text("B2")});
    EXPECT_EQ(Message([&] { cell->Put("Value", Variant::Of(sheet)); }),
              "Excel.Application.Workbooks.Add.Worksheets.Range Put Value: type mismatch: a cell "
              "cannot hold an object "
              "(Tavex test server)");
    EXPECT_TRUE(Logged("Put Value = Object")) << ServerLog();
    EXPECT_NE(
        Message([&] { sheet->Put("Name", Variant::Text("a/b")); }).find("(Tavex test server)"),
        std::string::npos);
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The application writes the file itself, so the rule's checks come first, on the name the
// application will use: absolute, as it has a current folder of its own.
TEST(ComServer, SaveAsChecksTheTargetFirstAndNamesItAbsolutely) {
    const fs::path dir = fs::current_path() / "save-as";
    std::error_code ignored;
    ::SetFileAttributesW((dir / "read-only.xlsx").wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(dir, ignored);
    fs::create_directories(dir);

    const ObjectRef app = ComApplications().Create("Excel.Application");
    const ObjectRef book = Obj(app, "Workbooks")->Call("Add").AsObject();
    Obj(Obj(book, "Worksheets", {Variant::Integer(1)}), "Range", {Variant::Text("A1")})
        ->Put("Value", Variant::Text("1"));

    com_test::ClearServerLog();
    book->Call("SaveAs", {Variant::Text("save-as/relative.xlsx")});
    EXPECT_TRUE(Logged("Call SaveAs(Text \"" + (dir / "relative.xlsx").string() + "\")"))
        << ServerLog();
    EXPECT_EQ(ReadFile(dir / "relative.xlsx").substr(0, 2), "PK");

    const fs::path readOnly = dir / "read-only.xlsx";
    std::ofstream(readOnly) << "earlier";
    ASSERT_TRUE(::SetFileAttributesW(readOnly.wstring().c_str(), FILE_ATTRIBUTE_READONLY));
    com_test::ClearServerLog();
    const std::string refused =
        Message([&] { book->Call("SaveAs", {Variant::Text(readOnly.string())}); });
    EXPECT_NE(refused.find("read-only.xlsx"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("Tavex test server"), std::string::npos) << "reached the server";
    EXPECT_EQ(ServerLog(), "");
    EXPECT_EQ(ReadFile(readOnly), "earlier");
    ::SetFileAttributesW(readOnly.wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace automation
}  // namespace tavex
