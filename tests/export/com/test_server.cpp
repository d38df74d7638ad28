// An in-process COM server for the tests: the built-in spreadsheet behind IDispatch. The test
// setup registers it in the tests' Wine prefix as "Excel.Application", so the program's COM road
// runs end to end without Microsoft Excel. Names get DISPIDs per object as they are asked for;
// get, put and call go to the engine's object; engine objects come back as new dispatch objects;
// engine errors come back as DISP_E_EXCEPTION with their text. Every invocation is logged like
// the recorder logs it ("Put Name = Text \"Data\""), for the tests to read through
// TavexTestServerLog. Its class identifier comes from the build (TAVEX_COM_TEST_CLSID), which
// registers it under the same one.

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "export/automation/com_variant.h"
#include "export/automation/workbook_engine.h"

namespace {

using namespace tavex::automation;

// Asked for by QueryInterface to find our own objects among the dispatch objects passed in.
const IID kEngineObjectIid = {
    0x548ecc1e, 0x261d, 0x40e9, {0x97, 0x1c, 0x68, 0x13, 0x73, 0x16, 0x0d, 0xab}};

std::atomic<long> liveObjects{0};
std::atomic<long> serverLocks{0};
std::mutex logMutex;
std::string serverLog;
std::string logCopy;

void Log(const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex);
    serverLog += line + "\n";
}

BSTR Bstr(const std::string& utf8) {
    try {
        const std::wstring wide = com::Utf16(utf8);
        return ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    } catch (...) {
        return ::SysAllocString(L"(not UTF-8)");
    }
}

class EngineDispatch final : public IDispatch {
public:
    explicit EngineDispatch(ObjectRef object) : object_(std::move(object)) { ++liveObjects; }
    ~EngineDispatch() { --liveObjects; }

    const ObjectRef& Object() const { return object_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, kEngineObjectIid)) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info != nullptr) *info = nullptr;
        return DISP_E_BADINDEX;
    }

    // Any name is a member until the engine says otherwise; only the first name (the member,
    // not argument names) is known.
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
        std::string name;
        try {
            name = com::Utf8(names[0], std::wcslen(names[0]));
        } catch (...) {
            return DISP_E_UNKNOWNNAME;
        }
        const auto known = ids_.find(name);
        if (known != ids_.end()) {
            ids[0] = known->second;
        } else {
            names_.push_back(name);
            ids[0] = static_cast<DISPID>(names_.size());
            ids_.emplace(name, ids[0]);
        }
        for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        return count > 1 ? DISP_E_UNKNOWNNAME : S_OK;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception,
                                     UINT* argError) override {
        if (id < 1 || static_cast<std::size_t>(id) > names_.size()) return DISP_E_MEMBERNOTFOUND;
        if (params == nullptr) return E_INVALIDARG;
        const std::string& name = names_[static_cast<std::size_t>(id) - 1];
        const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
        if (put) {
            if (params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
                return DISP_E_PARAMNOTFOUND;
            }
            if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
        } else if (params->cNamedArgs != 0) {
            return DISP_E_NONAMEDARGS;
        }

        // Last first, as IDispatch passes them.
        Arguments args;
        const com::ObjectOf objectOf = [](IDispatch* dispatch) -> ObjectRef {
            EngineDispatch* ours = nullptr;
            if (FAILED(
                    dispatch->QueryInterface(kEngineObjectIid, reinterpret_cast<void**>(&ours)))) {
                throw AutomationError("an object of another application");
            }
            ObjectRef object = ours->Object();
            ours->Release();
            return object;
        };
        for (UINT i = params->cArgs; i-- > 0;) {
            try {
                args.push_back(com::FromVariant(params->rgvarg[i], objectOf));
            } catch (...) {
                if (argError != nullptr) *argError = i;
                return DISP_E_TYPEMISMATCH;
            }
        }

        std::string line = put ? "Put " : (flags & DISPATCH_METHOD) != 0 ? "Call " : "Get ";
        line += name;
        if (put) {
            line += " = " + args[0].Describe();
        } else if (!args.empty()) {
            line += "(";
            for (std::size_t i = 0; i < args.size(); ++i) {
                line += (i ? ", " : "") + args[i].Describe();
            }
            line += ")";
        }
        Log(line);

        try {
            Variant answer;
            if (put) {
                object_->Put(name, args[0]);
            } else if ((flags & DISPATCH_METHOD) != 0) {
                answer = object_->Call(name, args);
            } else if ((flags & DISPATCH_PROPERTYGET) != 0) {
                answer = object_->Get(name, args);
            } else {
                return DISP_E_MEMBERNOTFOUND;
            }
            if (result != nullptr) {
                com::ToVariant(answer, *result, [](const ObjectRef& object) -> IDispatch* {
                    return new EngineDispatch(object);
                });
            }
            return S_OK;
        } catch (const std::exception& e) {
            Log("  failed: " + std::string(e.what()));
            if (exception == nullptr) return E_FAIL;
            *exception = EXCEPINFO{};
            exception->bstrSource = Bstr("Tavex test server");
            exception->bstrDescription = Bstr(e.what());
            exception->scode = E_FAIL;
            return DISP_E_EXCEPTION;
        }
    }

private:
    std::atomic<ULONG> references_{1};
    ObjectRef object_;
    std::vector<std::string> names_;  // DISPID n is names_[n - 1]
    std::map<std::string, DISPID> ids_;
};

class ClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // One static factory: no counting.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        EngineDispatch* application = nullptr;
        try {
            application = new EngineDispatch(BuiltInSpreadsheet().Create("Excel.Application"));
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        Log("Create Excel.Application");
        const HRESULT hr = application->QueryInterface(riid, out);
        application->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ++serverLocks;
        } else {
            --serverLocks;
        }
        return S_OK;
    }
};

ClassFactory factory;

}  // namespace

extern "C" {

HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    CLSID ours{};
    if (FAILED(::CLSIDFromString(TAVEX_COM_TEST_CLSID, &ours)) || !IsEqualCLSID(clsid, ours)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return factory.QueryInterface(riid, out);
}

HRESULT STDMETHODCALLTYPE DllCanUnloadNow() {
    return liveObjects == 0 && serverLocks == 0 ? S_OK : S_FALSE;
}

const char* TavexTestServerLog() {
    std::lock_guard<std::mutex> lock(logMutex);
    logCopy = serverLog;
    return logCopy.c_str();
}

void TavexTestServerClearLog() {
    std::lock_guard<std::mutex> lock(logMutex);
    serverLog.clear();
}

}  // extern "C"
