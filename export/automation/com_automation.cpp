#include "export/automation/com_automation.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "export/automation/com_variant.h"
#include "export/automation/workbook_engine.h"
#include "fileio/safe_file.h"
#include "fileio/win_text.h"

namespace tavex::automation {

namespace {

// COM on this thread for as long as an object of ours is alive: joined by the first, left when
// the last is released (objects hold it), so nothing is released after the thread left COM.
class Apartment {
public:
    explicit Apartment(bool joined) : joined_(joined) {}
    ~Apartment() {
        if (joined_) ::CoUninitialize();
    }
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;

    static std::shared_ptr<Apartment> OfThisThread() {
        thread_local std::weak_ptr<Apartment> current;
        if (auto apartment = current.lock()) return apartment;
        const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        // A thread already in the multithreaded apartment can use COM as it is.
        if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) {
            throw AutomationError("COM could not be started: " + com::ErrorText(hr));
        }
        auto apartment = std::make_shared<Apartment>(SUCCEEDED(hr));
        current = apartment;
        return apartment;
    }

private:
    bool joined_;
};

// Owns one VARIANT at a time.
struct VariantSlot {
    VARIANT v;
    VariantSlot() { ::VariantInit(&v); }
    ~VariantSlot() { ::VariantClear(&v); }
    VariantSlot(const VariantSlot&) = delete;
    VariantSlot& operator=(const VariantSlot&) = delete;
};

// Owns a BSTR.
struct BstrSlot {
    BSTR text = nullptr;
    ~BstrSlot() { ::SysFreeString(text); }
};

std::string Narrowed(BSTR text) {
    return text ? com::Utf8(text, ::SysStringLen(text)) : std::string();
}

// Member names are not case-sensitive in COM.
bool SameName(const std::string& a, const std::string& b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](char x, char y) { return lower(x) == lower(y); });
}

// The name the application will write to: absolute, because an application in its own process
// has its own current folder, and checked against the file replacement rule, because the
// application replaces the file itself.
std::string CheckedSaveTarget(const std::string& fileName) {
    const std::wstring wide = com::Utf16(fileName);
    if (wide.empty() || wide.find(L'\0') != std::wstring::npos) {
        throw AutomationError("not a file name: \"" + fileName + "\"");
    }
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) {
            throw AutomationError("not a file name: \"" + fileName +
                                  "\": " + WindowsErrorText(::GetLastError()));
        }
        if (length < full.size()) {
            full.resize(length);
            break;
        }
        full.resize(length);
    }
    const std::string target = com::Utf8(full.data(), full.size());
    std::string refused;
    if (!FileReplacement::CheckTarget(target, {}, refused)) throw AutomationError(refused);
    return target;
}

class ComObject final : public Object {
public:
    ComObject(std::shared_ptr<Apartment> apartment, IDispatch* dispatch, std::string name)
        : apartment_(std::move(apartment)), dispatch_(dispatch), name_(std::move(name)) {
        dispatch_->AddRef();
    }
    ~ComObject() override { dispatch_->Release(); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    IDispatch* Dispatch() const { return dispatch_; }

    Variant Get(const std::string& name, const Arguments& args) override {
        return Invoke("Get", name, DISPATCH_PROPERTYGET, args, true);
    }

    void Put(const std::string& name, const Variant& value) override {
        (void)Invoke("Put", name, DISPATCH_PROPERTYPUT, {value}, false);
    }

    // Late binding cannot tell a method from a property that takes arguments; servers accept
    // both flags for a method, as they do for script clients.
    Variant Call(const std::string& name, const Arguments& args) override {
        if (SameName(name, "SaveAs") && !args.empty() && args[0].type() == Variant::Type::Text) {
            Arguments checked = args;
            checked[0] = Variant::Text(CheckedSaveTarget(args[0].AsText()));
            return Invoke("Call", name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, checked, false);
        }
        return Invoke("Call", name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args, false);
    }

private:
    DISPID IdOf(const std::string& name) {
        const auto known = ids_.find(name);
        if (known != ids_.end()) return known->second;
        std::wstring wide = com::Utf16(name);
        LPOLESTR names[] = {wide.data()};
        DISPID id = DISPID_UNKNOWN;
        const HRESULT hr = dispatch_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(hr)) {
            throw AutomationError(name_ + " has no member \"" + name + "\": " + com::ErrorText(hr));
        }
        ids_.emplace(name, id);
        return id;
    }

    // A result the seam cannot carry fails a Get; after a method it is dropped, because the
    // method has done its work. A put has no result.
    Variant Invoke(const char* verb, const std::string& name, WORD flags, const Arguments& args,
                   bool needResult) {
        const DISPID id = IdOf(name);
        const com::DispatchOf dispatchOf = [](const ObjectRef& object) {
            return com::DispatchBehind(object);
        };
        // IDispatch takes the arguments last first.
        std::vector<VariantSlot> slots(args.size());
        for (std::size_t i = 0; i < args.size(); ++i) {
            com::ToVariant(args[i], slots[args.size() - 1 - i].v, dispatchOf);
        }
        std::vector<VARIANT> argv(args.size());
        for (std::size_t i = 0; i < args.size(); ++i) argv[i] = slots[i].v;  // borrowed
        DISPID putId = DISPID_PROPERTYPUT;
        DISPPARAMS params{};
        params.rgvarg = argv.empty() ? nullptr : argv.data();
        params.cArgs = static_cast<UINT>(argv.size());
        if ((flags & DISPATCH_PROPERTYPUT) != 0) {
            params.rgdispidNamedArgs = &putId;
            params.cNamedArgs = 1;
        }
        VariantSlot result;
        EXCEPINFO info{};
        UINT argError = std::numeric_limits<UINT>::max();
        const bool put = (flags & DISPATCH_PROPERTYPUT) != 0;
        const HRESULT hr = dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                             put ? nullptr : &result.v, &info, &argError);
        if (FAILED(hr)) {
            throw AutomationError(Where(verb, name) + ": " +
                                  Reason(hr, info, argError, args.size()));
        }
        const com::ObjectOf objectOf = [this, &name](IDispatch* dispatch) -> ObjectRef {
            return std::make_shared<ComObject>(apartment_, dispatch, name_ + "." + name);
        };
        try {
            return com::FromVariant(result.v, objectOf);
        } catch (const AutomationError& e) {
            if (!needResult) return {};
            throw AutomationError(Where(verb, name) + ": " + e.what());
        }
    }

    std::string Where(const char* verb, const std::string& name) const {
        return name_ + " " + verb + " " + name;
    }

    static std::string Reason(HRESULT hr, EXCEPINFO& info, UINT argError, std::size_t count) {
        if (hr == DISP_E_EXCEPTION) {
            if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
            BstrSlot source{info.bstrSource};
            BstrSlot description{info.bstrDescription};
            BstrSlot help{info.bstrHelpFile};
            std::string text;
            try {
                text = Narrowed(description.text);
                const std::string from = Narrowed(source.text);
                if (!from.empty()) text += (text.empty() ? "" : " ") + ("(" + from + ")");
            } catch (const AutomationError&) {
            }
            const HRESULT code =
                info.scode != 0
                    ? info.scode
                    : (info.wCode != 0 ? MAKE_HRESULT(1, FACILITY_ITF, info.wCode) : hr);
            return text.empty() ? com::ErrorText(code) : text;
        }
        std::string text = com::ErrorText(hr);
        if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND) && argError < count) {
            text = "argument " + std::to_string(count - argError) + ": " + text;
        }
        return text;
    }

    std::shared_ptr<Apartment> apartment_;  // first in, last out: left after the release
    IDispatch* dispatch_;
    std::string name_;
    std::map<std::string, DISPID> ids_;
};

}  // namespace

namespace com {

std::wstring Utf16(const std::string& utf8) {
    std::wstring wide;
    if (!Widen(utf8, wide)) throw AutomationError("text that is not UTF-8");
    return wide;
}

std::string Utf8(const wchar_t* utf16, std::size_t length) {
    std::string narrow;
    if (!Narrow(std::wstring(utf16, length), narrow))
        throw AutomationError("text that is not UTF-16");
    return narrow;
}

std::string ErrorText(HRESULT hr) {
    // Wine has no system text for some of these.
    static const std::map<HRESULT, const char*> known = {
        {DISP_E_UNKNOWNNAME, "unknown name"},
        {DISP_E_MEMBERNOTFOUND, "member not found"},
        {DISP_E_BADPARAMCOUNT, "wrong number of arguments"},
        {DISP_E_TYPEMISMATCH, "type mismatch"},
        {DISP_E_PARAMNOTFOUND, "argument not found"},
        {DISP_E_PARAMNOTOPTIONAL, "argument not optional"},
        {DISP_E_OVERFLOW, "out of present range"},
        {DISP_E_NONAMEDARGS, "no named arguments"},
        {DISP_E_BADVARTYPE, "bad variable type"},
        {DISP_E_EXCEPTION, "exception occurred"},
        {REGDB_E_CLASSNOTREG, "class not registered"},
        {CO_E_CLASSSTRING, "invalid class string"},
        {CO_E_SERVER_EXEC_FAILURE, "server execution failed"},
        {RPC_E_CALL_REJECTED, "call rejected by the application (busy)"},
        {RPC_E_SERVERCALL_RETRYLATER, "the application is busy"},
        {RPC_E_DISCONNECTED, "the application has disconnected"},
        {RPC_E_SERVER_DIED, "the application has ended"},
        {E_NOINTERFACE, "no such interface"},
        {E_OUTOFMEMORY, "out of memory"},
    };
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    const auto found = known.find(hr);
    const std::string text =
        found != known.end() ? found->second : WindowsErrorText(static_cast<std::uint32_t>(hr));
    return text + " (" + code + ")";
}

void ToVariant(const Variant& value, VARIANT& out, const DispatchOf& dispatchOf) {
    ::VariantInit(&out);
    switch (value.type()) {
        case Variant::Type::Empty:
            return;
        case Variant::Type::Boolean:
            out.vt = VT_BOOL;
            out.boolVal = value.AsBoolean() ? VARIANT_TRUE : VARIANT_FALSE;
            return;
        case Variant::Type::Integer:
            out.vt = VT_I4;
            out.lVal = value.AsInteger();
            return;
        case Variant::Type::Byte:
            out.vt = VT_UI1;
            out.bVal = static_cast<BYTE>(value.AsInteger());
            return;
        case Variant::Type::Text: {
            const std::wstring wide = Utf16(value.AsText());
            BSTR text = ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
            if (text == nullptr) throw AutomationError(ErrorText(E_OUTOFMEMORY));
            out.vt = VT_BSTR;
            out.bstrVal = text;
            return;
        }
        case Variant::Type::Object: {
            IDispatch* dispatch = dispatchOf ? dispatchOf(value.AsObject()) : nullptr;
            if (dispatch == nullptr) {
                throw AutomationError("an object of another application cannot be passed");
            }
            out.vt = VT_DISPATCH;
            out.pdispVal = dispatch;
            return;
        }
    }
}

Variant FromVariant(const VARIANT& in, const ObjectOf& objectOf) {
    VariantSlot direct;
    const VARIANT* v = &in;
    if (in.vt & VT_BYREF) {
        const HRESULT hr = ::VariantCopyInd(&direct.v, const_cast<VARIANT*>(&in));  // only read
        if (FAILED(hr)) throw AutomationError("a value by reference: " + ErrorText(hr));
        v = &direct.v;
    }
    auto object = [&objectOf](IDispatch* dispatch) {
        if (dispatch == nullptr) return Variant();
        if (!objectOf) throw AutomationError("an object where none can be taken");
        return Variant::Of(objectOf(dispatch));
    };
    switch (v->vt) {
        case VT_EMPTY:
        case VT_NULL:
            return {};
        case VT_BOOL:
            return Variant::Boolean(v->boolVal != VARIANT_FALSE);
        case VT_UI1:
            return Variant::Byte(v->bVal);
        case VT_I4:
            return Variant::Integer(v->lVal);
        case VT_I1:
            return Variant::Integer(v->cVal);
        case VT_I2:
            return Variant::Integer(v->iVal);
        case VT_UI2:
            return Variant::Integer(v->uiVal);
        case VT_INT:
            return Variant::Integer(v->intVal);
        case VT_UI4:
        case VT_UINT:
        case VT_I8:
        case VT_UI8: {
            // Checked here: Wine's conversion wraps 0xFFFFFFFF round to -1.
            const bool fits = v->vt == VT_UI4    ? v->ulVal <= INT32_MAX
                              : v->vt == VT_UINT ? v->uintVal <= INT32_MAX
                              : v->vt == VT_I8   ? v->llVal >= INT32_MIN && v->llVal <= INT32_MAX
                                                 : v->ullVal <= INT32_MAX;
            if (!fits) {
                throw AutomationError("a number of type " + std::to_string(v->vt) +
                                      " beyond 32 bits");
            }
            return Variant::Integer(v->vt == VT_UI4    ? static_cast<std::int32_t>(v->ulVal)
                                    : v->vt == VT_UINT ? static_cast<std::int32_t>(v->uintVal)
                                    : v->vt == VT_I8   ? static_cast<std::int32_t>(v->llVal)
                                                       : static_cast<std::int32_t>(v->ullVal));
        }
        case VT_BSTR:
            return Variant::Text(Narrowed(v->bstrVal));
        case VT_DISPATCH:
            return object(v->pdispVal);
        case VT_UNKNOWN: {
            if (v->punkVal == nullptr) return {};
            IDispatch* dispatch = nullptr;
            if (FAILED(v->punkVal->QueryInterface(IID_IDispatch,
                                                  reinterpret_cast<void**>(&dispatch)))) {
                throw AutomationError("an object without IDispatch");
            }
            const Variant result = object(dispatch);
            dispatch->Release();
            return result;
        }
        default:
            throw AutomationError("a value of type " + std::to_string(v->vt) +
                                  ", which this program does not take");
    }
}

ObjectRef WrapDispatch(IDispatch* dispatch, std::string name) {
    if (dispatch == nullptr) throw AutomationError("no object");
    return std::make_shared<ComObject>(Apartment::OfThisThread(), dispatch, std::move(name));
}

IDispatch* DispatchBehind(const ObjectRef& object) {
    const auto* com = dynamic_cast<const ComObject*>(object.get());
    if (com == nullptr) return nullptr;
    com->Dispatch()->AddRef();
    return com->Dispatch();
}

}  // namespace com

ObjectRef ComApplications::Create(const std::string& progId) {
    const std::shared_ptr<Apartment> apartment = Apartment::OfThisThread();
    const std::wstring wide = com::Utf16(progId);
    CLSID clsid{};
    HRESULT hr = ::CLSIDFromProgID(wide.c_str(), &clsid);
    if (FAILED(hr)) {
        throw AutomationError("no application is registered as \"" + progId +
                              "\": " + com::ErrorText(hr));
    }
    IDispatch* dispatch = nullptr;
    hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER,
                            IID_IDispatch, reinterpret_cast<void**>(&dispatch));
    if (FAILED(hr) || dispatch == nullptr) {
        throw AutomationError("\"" + progId + "\" could not be started: " + com::ErrorText(hr));
    }
    auto object = std::make_shared<ComObject>(apartment, dispatch, progId);
    dispatch->Release();  // the object holds its own reference
    return object;
}

bool ComApplications::IsRegistered(const std::string& progId) {
    std::wstring wide;
    if (!Widen(progId, wide)) return false;
    std::shared_ptr<Apartment> apartment;
    try {
        apartment = Apartment::OfThisThread();
    } catch (const AutomationError&) {
        return false;
    }
    CLSID clsid{};
    return SUCCEEDED(::CLSIDFromProgID(wide.c_str(), &clsid));
}

PreferComApplications::PreferComApplications(std::shared_ptr<ObjectFactory> fallback)
    : fallback_(std::move(fallback)) {}

ObjectRef PreferComApplications::Create(const std::string& progId) {
    if (ComApplications::IsRegistered(progId)) return com_.Create(progId);
    if (!fallback_) throw AutomationError("no application is registered as \"" + progId + "\"");
    return fallback_->Create(progId);
}

std::shared_ptr<ObjectFactory> MakeSpreadsheetFactory(std::shared_ptr<Shell> shell) {
    return std::make_shared<PreferComApplications>(
        std::make_shared<BuiltInSpreadsheet>(std::move(shell)));
}

}  // namespace tavex::automation
