#include "export/automation/workbook_engine.h"

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "export/automation/workbook_file.h"
#include "export/automation/workbook_model.h"

// The automation objects of the built-in spreadsheet: application, workbooks, workbook,
// worksheets, worksheet, range, border, interior, font and characters. Each one checks its
// arguments the way a late-bound call would and hands the work to the model
// (workbook_model.h); SaveAs hands the workbook to the file writer (workbook_file.h).

namespace tavex::automation {

namespace {

using model::Area;
using model::Font;
using model::Sheet;
using model::Workbook;

struct ApplicationState {
    std::shared_ptr<Shell> shell;
    std::int32_t sheetsInNewWorkbook = 1;
    bool visible = false;
    bool displayAlerts = true;
    std::vector<std::shared_ptr<Workbook>> workbooks;

    void CloseAll() {
        for (const auto& book : workbooks) {
            book->closed = true;
            book->sheets.clear();  // objects still held by callers now fail; free the cells
        }
        workbooks.clear();
    }
};

[[noreturn]] void NoMember(const char* object, const char* kind, const std::string& name) {
    throw AutomationError(std::string(object) + " has no " + kind + " \"" + name + "\"");
}

void ExpectArguments(const Arguments& args, std::size_t count, const std::string& member) {
    if (args.size() != count) {
        throw AutomationError(member + " takes " + std::to_string(count) + " argument" +
                              (count == 1 ? "" : "s") + ", not " + std::to_string(args.size()));
    }
}

void ExpectNoArguments(const Arguments& args, const std::string& member) {
    ExpectArguments(args, 0, member);
}

// A collection's Item: 1..count.
std::size_t ItemIndex(const Variant& index, std::size_t count, const char* collection) {
    const std::int32_t i = index.AsInteger();
    if (i < 1 || static_cast<std::size_t>(i) > count) {
        throw AutomationError(std::string(collection) + " has no item " + std::to_string(i) +
                              " (it has " + std::to_string(count) + ")");
    }
    return static_cast<std::size_t>(i - 1);
}

void CheckText(const std::string& text, const char* what) {
    if (!model::IsCleanUtf8(text)) {
        throw AutomationError(std::string(what) + " must be UTF-8 text without NUL characters");
    }
}

// Objects that belong to one workbook; they fail once it has been closed.
class BookBound : public Object {
public:
    explicit BookBound(std::shared_ptr<Workbook> book) : book_(std::move(book)) {}
    const Workbook* Model() const { return book_.get(); }

protected:
    Workbook& Live() const {
        if (book_->closed) throw AutomationError("the workbook has been closed");
        return *book_;
    }
    // For a change: the workbook now differs from the saved file.
    Workbook& Changing() const {
        Workbook& book = Live();
        book.saved = false;
        return book;
    }

    std::shared_ptr<Workbook> book_;
};

// The cells that a range, border, interior, font or characters object acts on.
struct Target {
    std::shared_ptr<Workbook> book;
    std::size_t sheet = 0;
    Area area;

    Sheet& Edit() const {
        if (book->closed) throw AutomationError("the workbook has been closed");
        book->saved = false;
        return book->sheets.at(sheet);
    }
};

ObjectRef MakeRange(const Target& target);

class FontObject final : public Object {
public:
    // characters: 1-based first character and count, for a run of the text only.
    FontObject(Target target, std::optional<std::pair<std::size_t, std::size_t>> characters)
        : target_(std::move(target)), characters_(characters) {}

    Variant Get(const std::string& name, const Arguments&) override {
        NoMember("Font", "readable property", name);
    }

    void Put(const std::string& name, const Variant& value) override {
        std::function<void(Font&)> edit;
        if (name == "Color") {
            const std::uint32_t rgb = model::RgbFromColorValue(value.AsInteger());
            edit = [rgb](Font& font) { font.rgb = rgb; };
        } else if (name == "Size") {
            const std::int32_t size = value.AsInteger();
            if (size < model::kMinFontSize || size > model::kMaxFontSize) {
                throw AutomationError("invalid font size (1..409): " + std::to_string(size));
            }
            edit = [size](Font& font) { font.size = size; };
        } else if (name == "Name") {
            const std::string& fontName = value.AsText();
            CheckText(fontName, "a font name");
            if (fontName.empty() || model::CharacterCount(fontName) > model::kMaxFontNameLength ||
                std::any_of(fontName.begin(), fontName.end(),
                            [](char c) { return c >= 0 && c < 0x20; })) {
                throw AutomationError(
                    "a font name must have 1 to 31 characters, none of them control characters: "
                    "\"" +
                    fontName + "\"");
            }
            edit = [fontName](Font& font) { font.name = fontName; };
        } else if (name == "Bold") {
            const bool on = value.AsBoolean();
            edit = [on](Font& font) { font.bold = on; };
        } else if (name == "Italic") {
            const bool on = value.AsBoolean();
            edit = [on](Font& font) { font.italic = on; };
        } else if (name == "Strikethrough") {
            const bool on = value.AsBoolean();
            edit = [on](Font& font) { font.strikethrough = on; };
        } else if (name == "Superscript" || name == "Subscript") {
            const auto script =
                name == "Superscript" ? model::Script::Superscript : model::Script::Subscript;
            const bool on = value.AsBoolean();
            edit = [script, on](Font& font) {
                if (on) {
                    font.script = script;
                } else if (font.script == script) {
                    font.script = model::Script::None;
                }
            };
        } else if (name == "OutlineFont" || name == "Shadow") {
            (void)value.AsBoolean();  // accepted; the file format has no use for them
            return;
        } else if (name == "Underline") {
            const model::Underline underline = model::UnderlineFrom(value.AsInteger());
            edit = [underline](Font& font) { font.underline = underline; };
        } else {
            NoMember("Font", "property", name);
        }
        Sheet& sheet = target_.Edit();
        if (characters_) {
            sheet.EditCharacterFonts(target_.area, characters_->first, characters_->second, edit);
        } else {
            sheet.EditFont(target_.area, edit);
        }
    }

    Variant Call(const std::string& name, const Arguments&) override {
        NoMember("Font", "method", name);
    }

private:
    Target target_;
    std::optional<std::pair<std::size_t, std::size_t>> characters_;
};

class CharactersObject final : public Object {
public:
    CharactersObject(Target target, std::size_t start, std::size_t length)
        : target_(std::move(target)), start_(start), length_(length) {}

    Variant Get(const std::string& name, const Arguments& args) override {
        if (name == "Font") {
            ExpectNoArguments(args, name);
            return Variant::Of(std::make_shared<FontObject>(target_, std::pair{start_, length_}));
        }
        NoMember("Characters", "property", name);
    }
    void Put(const std::string& name, const Variant&) override {
        NoMember("Characters", "writable property", name);
    }
    Variant Call(const std::string& name, const Arguments&) override {
        NoMember("Characters", "method", name);
    }

private:
    Target target_;
    std::size_t start_;
    std::size_t length_;
};

class InteriorObject final : public Object {
public:
    explicit InteriorObject(Target target) : target_(std::move(target)) {}

    Variant Get(const std::string& name, const Arguments&) override {
        NoMember("Interior", "readable property", name);
    }
    void Put(const std::string& name, const Variant& value) override {
        if (name != "ColorIndex") NoMember("Interior", "property", name);
        const std::int32_t index = value.AsInteger();
        if (index != 0) (void)model::PaletteColor(index);  // 0 clears the fill
        target_.Edit().EditStyle(target_.area,
                                 [index](model::CellStyle& style) { style.fillIndex = index; });
    }
    Variant Call(const std::string& name, const Arguments&) override {
        NoMember("Interior", "method", name);
    }

private:
    Target target_;
};

class BorderObject final : public Object {
public:
    BorderObject(Target target, std::int32_t edge) : target_(std::move(target)), edge_(edge) {}

    Variant Get(const std::string& name, const Arguments&) override {
        NoMember("Border", "readable property", name);
    }
    // Any of the three draws the line if there was none.
    void Put(const std::string& name, const Variant& value) override {
        std::function<void(model::BorderEdge&)> edit;
        if (name == "LineStyle") {
            const std::int32_t style = model::BorderLineStyleFrom(value.AsInteger());
            edit = [style](model::BorderEdge& edge) { edge.lineStyle = style; };
        } else if (name == "Weight") {
            const std::int32_t weight = model::BorderWeightFrom(value.AsInteger());
            edit = [weight](model::BorderEdge& edge) {
                edge.weight = weight;
                if (edge.lineStyle == model::xl::kNone) edge.lineStyle = model::xl::kContinuous;
            };
        } else if (name == "ColorIndex") {
            const std::int32_t index = value.AsInteger();
            (void)model::PaletteColor(index);
            edit = [index](model::BorderEdge& edge) {
                edge.colorIndex = index;
                if (edge.lineStyle == model::xl::kNone) edge.lineStyle = model::xl::kContinuous;
            };
        } else {
            NoMember("Border", "property", name);
        }
        target_.Edit().EditBorder(target_.area, edge_, edit);
    }
    Variant Call(const std::string& name, const Arguments&) override {
        NoMember("Border", "method", name);
    }

private:
    Target target_;
    std::int32_t edge_;
};

class RangeObject final : public BookBound {
public:
    explicit RangeObject(Target target) : BookBound(target.book), target_(std::move(target)) {}

    Variant Get(const std::string& name, const Arguments& args) override {
        Live();
        if (name == "Item") return Variant::Of(Item(args));
        if (name == "Cells") {
            return Variant::Of(args.empty() ? MakeRange(target_) : Item(args));
        }
        if (name == "Borders") {
            ExpectArguments(args, 1, name);
            const std::int32_t edge = args[0].AsInteger();
            if (edge < model::xl::kEdgeLeft || edge > model::xl::kEdgeRight) {
                throw AutomationError("invalid border edge (7..10): " + std::to_string(edge));
            }
            return Variant::Of(std::make_shared<BorderObject>(target_, edge));
        }
        if (name == "Interior") {
            ExpectNoArguments(args, name);
            return Variant::Of(std::make_shared<InteriorObject>(target_));
        }
        if (name == "Font") {
            ExpectNoArguments(args, name);
            return Variant::Of(std::make_shared<FontObject>(target_, std::nullopt));
        }
        if (name == "Characters") return Variant::Of(Characters(args));
        if (name == "Address") {
            ExpectNoArguments(args, name);
            return Variant::Text(model::AddressOf(target_.area));
        }
        NoMember("Range", "property", name);
    }

    void Put(const std::string& name, const Variant& value) override {
        if (name == "Value") {
            const model::CellValue cellValue = ValueOf(value);
            target_.Edit().SetValue(target_.area, cellValue);
        } else if (name == "RowHeight") {
            target_.Edit().SetRowHeight(target_.area, value.AsInteger());
        } else if (name == "ColumnWidth") {
            target_.Edit().SetColumnWidth(target_.area, value.AsInteger());
        } else if (name == "HorizontalAlignment") {
            const model::HAlign align = model::HorizontalAlignmentFrom(value.AsInteger());
            target_.Edit().EditStyle(
                target_.area, [align](model::CellStyle& style) { style.horizontal = align; });
        } else if (name == "VerticalAlignment") {
            const model::VAlign align = model::VerticalAlignmentFrom(value.AsInteger());
            target_.Edit().EditStyle(target_.area,
                                     [align](model::CellStyle& style) { style.vertical = align; });
        } else {
            NoMember("Range", "writable property", name);
        }
    }

    Variant Call(const std::string& name, const Arguments& args) override {
        if (name == "Merge") {
            ExpectNoArguments(args, name);
            target_.Edit().Merge(target_.area);
            return {};
        }
        NoMember("Range", "method", name);
    }

private:
    // Item(row, column) counts from the range's top-left cell and may reach beyond it.
    ObjectRef Item(const Arguments& args) const {
        ExpectArguments(args, 2, "Item");
        const std::int64_t row = std::int64_t{target_.area.top} + args[0].AsInteger() - 1;
        const std::int64_t column = std::int64_t{target_.area.left} + args[1].AsInteger() - 1;
        if (row < 1 || row > model::kMaxRows || column < 1 || column > model::kMaxColumns) {
            throw AutomationError("Item(" + args[0].Describe() + ", " + args[1].Describe() +
                                  ") lies outside the sheet");
        }
        Target cell = target_;
        cell.area = Area{static_cast<std::int32_t>(row), static_cast<std::int32_t>(column),
                         static_cast<std::int32_t>(row), static_cast<std::int32_t>(column)};
        return MakeRange(cell);
    }

    ObjectRef Characters(const Arguments& args) const {
        if (args.size() > 2) throw AutomationError("Characters takes at most 2 arguments");
        const std::int32_t start = args.empty() ? 1 : args[0].AsInteger();
        const std::int32_t length =
            args.size() < 2 ? std::numeric_limits<std::int32_t>::max() : args[1].AsInteger();
        if (start < 1 || length < 0) {
            throw AutomationError("invalid characters: start " + std::to_string(start) +
                                  ", length " + std::to_string(length));
        }
        return std::make_shared<CharactersObject>(target_, static_cast<std::size_t>(start),
                                                  static_cast<std::size_t>(length));
    }

    static model::CellValue ValueOf(const Variant& value) {
        model::CellValue cellValue;
        switch (value.type()) {
            case Variant::Type::Empty:
                break;
            case Variant::Type::Text: {
                const std::string& text = value.AsText();
                CheckText(text, "a cell value");
                if (model::CharacterCount(text) > model::kMaxTextLength) {
                    throw AutomationError("a cell holds at most 32767 characters");
                }
                cellValue = model::ParseCellText(text);
                break;
            }
            case Variant::Type::Integer:
            case Variant::Type::Byte:
                cellValue.kind = model::ValueKind::Number;
                cellValue.number = value.AsInteger();
                break;
            case Variant::Type::Boolean:
                cellValue.kind = model::ValueKind::Boolean;
                cellValue.number = value.AsBoolean() ? 1 : 0;
                break;
            case Variant::Type::Object:
                throw AutomationError("type mismatch: a cell cannot hold an object");
        }
        return cellValue;
    }

    Target target_;
};

ObjectRef MakeRange(const Target& target) {
    return std::make_shared<RangeObject>(target);
}

class WorksheetObject final : public BookBound {
public:
    WorksheetObject(std::shared_ptr<Workbook> book, std::size_t index)
        : BookBound(std::move(book)), index_(index) {}

    Variant Get(const std::string& name, const Arguments& args) override {
        Workbook& book = Live();
        if (name == "Name") {
            ExpectNoArguments(args, name);
            return Variant::Text(book.sheets.at(index_).name);
        }
        if (name == "Range") return Variant::Of(MakeRange(RangeOf(args)));
        if (name == "Cells") {
            auto cells =
                MakeRange(Target{book_, index_, Area{1, 1, model::kMaxRows, model::kMaxColumns}});
            return args.empty() ? Variant::Of(cells) : cells->Get("Item", args);
        }
        NoMember("Worksheet", "property", name);
    }

    void Put(const std::string& name, const Variant& value) override {
        if (name != "Name") NoMember("Worksheet", "writable property", name);
        const std::string& newName = value.AsText();
        const std::string problem = model::SheetNameProblem(newName);
        if (!problem.empty()) throw AutomationError(problem + ": \"" + newName + "\"");
        Workbook& book = Live();
        for (std::size_t i = 0; i < book.sheets.size(); ++i) {
            if (i != index_ && model::SameSheetName(book.sheets[i].name, newName)) {
                throw AutomationError("another sheet is already named \"" + newName + "\"");
            }
        }
        Changing().sheets.at(index_).name = newName;
    }

    Variant Call(const std::string& name, const Arguments& args) override {
        if (name == "Activate") {
            ExpectNoArguments(args, name);
            Live().activeSheet = index_;
            return {};
        }
        NoMember("Worksheet", "method", name);
    }

private:
    // Range("E6:H6") or Range("E6", "H6").
    Target RangeOf(const Arguments& args) const {
        if (args.empty() || args.size() > 2) throw AutomationError("Range takes 1 or 2 addresses");
        std::optional<Area> area;
        for (const Variant& arg : args) {
            const auto part = model::ParseAddress(arg.AsText());
            if (!part) throw AutomationError("not a cell address: \"" + arg.AsText() + "\"");
            if (!area) {
                area = part;
            } else {
                area =
                    Area{std::min(area->top, part->top), std::min(area->left, part->left),
                         std::max(area->bottom, part->bottom), std::max(area->right, part->right)};
            }
        }
        return Target{book_, index_, *area};
    }

    std::size_t index_;
};

class WorksheetsObject final : public BookBound {
public:
    using BookBound::BookBound;

    Variant Get(const std::string& name, const Arguments& args) override {
        Workbook& book = Live();
        if (name == "Count") {
            ExpectNoArguments(args, name);
            return Variant::Integer(static_cast<std::int32_t>(book.sheets.size()));
        }
        if (name == "Item") {
            ExpectArguments(args, 1, name);
            if (args[0].type() == Variant::Type::Text) {
                for (std::size_t i = 0; i < book.sheets.size(); ++i) {
                    if (model::SameSheetName(book.sheets[i].name, args[0].AsText())) {
                        return Variant::Of(std::make_shared<WorksheetObject>(book_, i));
                    }
                }
                throw AutomationError("no sheet is named \"" + args[0].AsText() + "\"");
            }
            return Variant::Of(std::make_shared<WorksheetObject>(
                book_, ItemIndex(args[0], book.sheets.size(), "Worksheets")));
        }
        NoMember("Worksheets", "property", name);
    }
    void Put(const std::string& name, const Variant&) override {
        NoMember("Worksheets", "writable property", name);
    }
    Variant Call(const std::string& name, const Arguments&) override {
        NoMember("Worksheets", "method", name);
    }
};

class WorkbookObject final : public BookBound {
public:
    WorkbookObject(std::shared_ptr<ApplicationState> app, std::shared_ptr<Workbook> book)
        : BookBound(std::move(book)), app_(std::move(app)) {}

    Variant Get(const std::string& name, const Arguments& args) override {
        Workbook& book = Live();
        if (name == "Worksheets") {
            auto sheets = std::make_shared<WorksheetsObject>(book_);
            return args.empty() ? Variant::Of(sheets) : sheets->Get("Item", args);
        }
        if (name == "Saved") {
            ExpectNoArguments(args, name);
            return Variant::Boolean(book.saved);
        }
        if (name == "FullName") {
            ExpectNoArguments(args, name);
            return Variant::Text(book.fullName);
        }
        NoMember("Workbook", "property", name);
    }

    void Put(const std::string& name, const Variant& value) override {
        if (name != "Saved") NoMember("Workbook", "writable property", name);
        const bool saved = value.AsBoolean();
        Live().saved = saved;
    }

    Variant Call(const std::string& name, const Arguments& args) override {
        if (name == "SaveAs") {
            SaveAs(args);
            return {};
        }
        if (name == "Close") {
            ExpectNoArguments(args, name);
            Live();
            std::erase(app_->workbooks, book_);
            book_->closed = true;
            book_->sheets.clear();
            return {};
        }
        NoMember("Workbook", "method", name);
    }

private:
    void SaveAs(const Arguments& args) {
        ExpectArguments(args, 1, "SaveAs");
        const std::string& fileName = args[0].AsText();
        if (fileName.find('\0') != std::string::npos) {
            throw AutomationError("a file name cannot contain NUL characters");
        }
        Workbook& book = Live();
        model::WriteWorkbookFile(book, fileName);
        std::error_code error;
        const std::filesystem::path absolute = std::filesystem::absolute(fileName, error);
        book.fullName = error ? fileName : absolute.string();
        book.saved = true;
        if (app_->visible && app_->shell) {
            // The workbook is saved whatever the shell does; opening it is a courtesy.
            try {
                (void)app_->shell->OpenDocument(book.fullName);
            } catch (...) {
            }
        }
    }

    std::shared_ptr<ApplicationState> app_;
};

class WorkbooksObject final : public Object {
public:
    explicit WorkbooksObject(std::shared_ptr<ApplicationState> app) : app_(std::move(app)) {}

    Variant Get(const std::string& name, const Arguments& args) override {
        if (name == "Count") {
            ExpectNoArguments(args, name);
            return Variant::Integer(static_cast<std::int32_t>(app_->workbooks.size()));
        }
        if (name == "Item") {
            ExpectArguments(args, 1, name);
            const std::size_t i = ItemIndex(args[0], app_->workbooks.size(), "Workbooks");
            return Variant::Of(std::make_shared<WorkbookObject>(app_, app_->workbooks[i]));
        }
        NoMember("Workbooks", "property", name);
    }

    void Put(const std::string& name, const Variant&) override {
        NoMember("Workbooks", "writable property", name);
    }

    Variant Call(const std::string& name, const Arguments& args) override {
        if (name == "Add") {
            ExpectNoArguments(args, name);
            auto book = std::make_shared<Workbook>();
            for (std::int32_t i = 1; i <= app_->sheetsInNewWorkbook; ++i) {
                book->sheets.emplace_back("Sheet" + std::to_string(i));
            }
            app_->workbooks.push_back(book);
            return Variant::Of(std::make_shared<WorkbookObject>(app_, book));
        }
        if (name == "Close") {
            ExpectNoArguments(args, name);
            app_->CloseAll();
            return {};
        }
        NoMember("Workbooks", "method", name);
    }

private:
    std::shared_ptr<ApplicationState> app_;
};

class ApplicationObject final : public Object {
public:
    explicit ApplicationObject(std::shared_ptr<ApplicationState> app) : app_(std::move(app)) {}

    Variant Get(const std::string& name, const Arguments& args) override {
        if (name == "Workbooks") {
            auto workbooks = std::make_shared<WorkbooksObject>(app_);
            return args.empty() ? Variant::Of(workbooks) : workbooks->Get("Item", args);
        }
        ExpectNoArguments(args, name);
        if (name == "SheetsInNewWorkbook") return Variant::Integer(app_->sheetsInNewWorkbook);
        if (name == "Visible") return Variant::Boolean(app_->visible);
        if (name == "DisplayAlerts") return Variant::Boolean(app_->displayAlerts);
        NoMember("Application", "property", name);
    }

    void Put(const std::string& name, const Variant& value) override {
        if (name == "SheetsInNewWorkbook") {
            const std::int32_t count = value.AsInteger();
            if (count < 1 || count > 255) {
                throw AutomationError("invalid number of sheets (1..255): " +
                                      std::to_string(count));
            }
            app_->sheetsInNewWorkbook = count;
        } else if (name == "Visible") {
            app_->visible = value.AsBoolean();
        } else if (name == "DisplayAlerts") {
            app_->displayAlerts = value.AsBoolean();
        } else {
            NoMember("Application", "writable property", name);
        }
    }

    Variant Call(const std::string& name, const Arguments& args) override {
        if (name == "Quit") {
            ExpectNoArguments(args, name);
            app_->CloseAll();
            return {};
        }
        NoMember("Application", "method", name);
    }

private:
    std::shared_ptr<ApplicationState> app_;
};

bool SameProgId(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        return lower(x) == lower(y);
    });
}

}  // namespace

BuiltInSpreadsheet::BuiltInSpreadsheet(std::shared_ptr<Shell> shell) : shell_(std::move(shell)) {}

ObjectRef BuiltInSpreadsheet::Create(const std::string& progId) {
    // Programmatic names are not case-sensitive.
    if (!SameProgId(progId, "Excel.Application")) {
        throw AutomationError("no application is registered as \"" + progId + "\"");
    }
    auto app = std::make_shared<ApplicationState>();
    app->shell = shell_;
    return std::make_shared<ApplicationObject>(std::move(app));
}

#ifndef _WIN32
// (Windows: with the COM applications, in com_automation.cpp.)
std::shared_ptr<ObjectFactory> MakeSpreadsheetFactory(std::shared_ptr<Shell> shell) {
    return std::make_shared<BuiltInSpreadsheet>(std::move(shell));
}
#endif

namespace model {

const Workbook* ModelBehind(const ObjectRef& object) {
    const auto* bound = dynamic_cast<const BookBound*>(object.get());
    return bound ? bound->Model() : nullptr;
}

}  // namespace model

}  // namespace tavex::automation
