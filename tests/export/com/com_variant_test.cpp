// The COM side of the automation seam without a server: values across VARIANTs, and calls
// through an IDispatch of the test's own that records what it is given.

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "export/automation/com_automation.h"
#include "tests/export/com/error_message.h"
#include "export/automation/com_variant.h"
#include "export/automation/recorder.h"

namespace tavex::automation {
namespace {
using com_test::Message;

Variant Cross(const Variant& value) {
    VARIANT v;
    com::ToVariant(value, v, nullptr);
    Variant back = com::FromVariant(v, nullptr);
    ::VariantClear(&v);
    return back;
}

TEST(ComVariant, ValuesCrossExactlyBothWays) {
    // Text: every code unit as UTF-16 has it, a surrogate pair and a NUL included.
    const std::string text = std::string("Значение, Бк/м³ Ёё \xF0\x9D\x84\x9E a") + '\0' + "b";
    const std::wstring wide = std::wstring(L"Значение, Бк/м³ Ёё \xD834\xDD1E a") + L'\0' + L"b";
    VARIANT v;
    com::ToVariant(Variant::Text(text), v, nullptr);
    ASSERT_EQ(v.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(v.bstrVal, ::SysStringLen(v.bstrVal)), wide);
    EXPECT_EQ(com::FromVariant(v, nullptr), Variant::Text(text));
    ::VariantClear(&v);
    EXPECT_EQ(Cross(Variant::Text("")), Variant::Text(""));
    for (const char* bad : {"\xD0", "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80", "a\xFF"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(com::ToVariant(Variant::Text(bad), v, nullptr), AutomationError);
        EXPECT_EQ(v.vt, VT_EMPTY);
    }
    v.vt = VT_BSTR;
    v.bstrVal = ::SysAllocString(L"a\xD800z");  // a lone surrogate has no UTF-8
    EXPECT_THROW(com::FromVariant(v, nullptr), AutomationError);
    ::VariantClear(&v);

    // Booleans are VARIANT_TRUE (-1) and VARIANT_FALSE; any other non-zero is true.
    com::ToVariant(Variant::Boolean(true), v, nullptr);
    EXPECT_EQ(v.vt, VT_BOOL);
    EXPECT_EQ(v.boolVal, VARIANT_TRUE);
    EXPECT_EQ(v.boolVal, -1);
    com::ToVariant(Variant::Boolean(false), v, nullptr);
    EXPECT_EQ(v.boolVal, VARIANT_FALSE);
    EXPECT_EQ(Cross(Variant::Boolean(true)).Describe(), "Boolean -1");
    EXPECT_EQ(Cross(Variant::Boolean(false)).Describe(), "Boolean 0");
    v.boolVal = 1;
    EXPECT_EQ(com::FromVariant(v, nullptr).Describe(), "Boolean -1");

    // Integers and bytes keep their types and their extremes.
    for (std::int32_t n : {INT32_MIN, -1, 0, 7, INT32_MAX}) {
        com::ToVariant(Variant::Integer(n), v, nullptr);
        EXPECT_EQ(v.vt, VT_I4);
        EXPECT_EQ(v.lVal, n);
        EXPECT_EQ(com::FromVariant(v, nullptr), Variant::Integer(n));
    }
    com::ToVariant(Variant::Byte(255), v, nullptr);
    EXPECT_EQ(v.vt, VT_UI1);
    EXPECT_EQ(v.bVal, 255);
    EXPECT_EQ(com::FromVariant(v, nullptr), Variant::Byte(255));
    EXPECT_EQ(Cross(Variant()), Variant());

    // What applications answer besides: other integers when they fit, values by reference;
    // anything the program has no type for is refused, naming it.
    v.vt = VT_I2;
    v.iVal = -5;
    EXPECT_EQ(com::FromVariant(v, nullptr), Variant::Integer(-5));
    v.vt = VT_UI4;
    v.ulVal = 0xFFFFFFFFu;
    EXPECT_THROW(com::FromVariant(v, nullptr), AutomationError);
    v.vt = VT_NULL;
    EXPECT_EQ(com::FromVariant(v, nullptr), Variant());
    LONG referenced = 42;
    v.vt = VT_BYREF | VT_I4;
    v.plVal = &referenced;
    EXPECT_EQ(com::FromVariant(v, nullptr), Variant::Integer(42));
    v.vt = VT_R8;
    v.dblVal = 1.5;
    try {
        com::FromVariant(v, nullptr);
        ADD_FAILURE() << "a double was taken";
    } catch (const AutomationError& e) {
        EXPECT_NE(std::string(e.what()).find("type 5"), std::string::npos) << e.what();
    }
}

// An IDispatch that keeps what each Invoke was given and answers by member.
class ScriptedDispatch final : public IDispatch {
public:
    enum Member : DISPID { kValue = 1, kAdd, kFails, kDeferred, kMismatch, kChild, kDouble };

    ~ScriptedDispatch() {
        ::VariantClear(&value);
        Forget();
    }

    ULONG references = 1;
    int nameLookups = 0;
    WORD flags = 0;
    std::vector<VARIANT> args;  // as given: last first
    std::vector<DISPID> named;
    bool resultWanted = false;
    VARIANT value{};  // VT_EMPTY
    ScriptedDispatch* child = nullptr;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }  // owned by the test
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override {
        return DISP_E_BADINDEX;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID,
                                            DISPID* ids) override {
        ++nameLookups;
        const std::wstring name = names[0];
        const wchar_t* known[] = {L"Value",    L"Add",   L"Fails", L"Deferred",
                                  L"Mismatch", L"Child", L"Double"};
        for (DISPID i = 0; i < 7; ++i) {
            if (name == known[i]) {
                ids[0] = i + 1;
                return S_OK;
            }
        }
        ids[0] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD invokeFlags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* info, UINT* argError) override {
        Forget();
        flags = invokeFlags;
        resultWanted = result != nullptr;
        for (UINT i = 0; i < params->cArgs; ++i) {
            VARIANT copy;
            ::VariantInit(&copy);
            ::VariantCopy(&copy, &params->rgvarg[i]);
            args.push_back(copy);
        }
        named.assign(params->rgdispidNamedArgs, params->rgdispidNamedArgs + params->cNamedArgs);
        switch (id) {
            case kValue:
                if ((invokeFlags & DISPATCH_PROPERTYPUT) != 0) {
                    return ::VariantCopy(&value, &params->rgvarg[0]);
                }
                return ::VariantCopy(result, &value);
            case kAdd:
                return S_OK;
            case kFails:
                info->bstrSource = ::SysAllocString(L"Microsoft Excel");
                info->bstrDescription = ::SysAllocString(L"Нет такого листа");
                info->scode = E_FAIL;
                return DISP_E_EXCEPTION;
            case kDeferred:
                info->pfnDeferredFillIn = [](EXCEPINFO* e) -> HRESULT {
                    e->bstrDescription = ::SysAllocString(L"filled in later");
                    return S_OK;
                };
                return DISP_E_EXCEPTION;
            case kMismatch:
                *argError = 0;
                return DISP_E_TYPEMISMATCH;
            case kChild:
                result->vt = VT_DISPATCH;
                result->pdispVal = child;
                child->AddRef();
                return S_OK;
            case kDouble:
                result->vt = VT_R8;
                result->dblVal = 2.5;
                return S_OK;
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    void Forget() {
        for (VARIANT& arg : args) ::VariantClear(&arg);
        args.clear();
    }
};


TEST(ComDispatch, CallsAreMadeAsIDispatchWantsThemAndReferencesCounted) {
    ScriptedDispatch fake;
    ScriptedDispatch child;
    fake.child = &child;
    {
        const ObjectRef object = com::WrapDispatch(&fake, "Fake");
        EXPECT_EQ(fake.references, 2u);

        // Arguments last first; a method may also be a property that takes arguments.
        object->Call("Add", {Variant::Integer(1), Variant::Text("два"), Variant::Boolean(true),
                             Variant::Byte(3)});
        EXPECT_EQ(fake.flags, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
        ASSERT_EQ(fake.args.size(), 4u);
        EXPECT_EQ(fake.args[0].vt, VT_UI1);
        EXPECT_EQ(fake.args[1].vt, VT_BOOL);
        EXPECT_EQ(std::wstring(fake.args[2].bstrVal), L"два");
        EXPECT_EQ(fake.args[3].vt, VT_I4);
        EXPECT_TRUE(fake.named.empty());

        // A put names its value DISPID_PROPERTYPUT and wants no result.
        object->Put("Value", Variant::Text("Ёлка"));
        EXPECT_EQ(fake.flags, DISPATCH_PROPERTYPUT);
        EXPECT_EQ(fake.named, std::vector<DISPID>{DISPID_PROPERTYPUT});
        EXPECT_FALSE(fake.resultWanted);
        EXPECT_EQ(object->Get("Value"), Variant::Text("Ёлка"));
        EXPECT_EQ(fake.flags, DISPATCH_PROPERTYGET);
        object->Get("Value", {Variant::Integer(2)});  // an indexed property
        EXPECT_EQ(fake.flags, DISPATCH_PROPERTYGET);
        EXPECT_EQ(fake.args.size(), 1u);
        EXPECT_EQ(fake.nameLookups, 2);  // each name once

        // Objects come back as objects and go out as the same IDispatch.
        const ObjectRef got = object->Get("Child").AsObject();
        EXPECT_EQ(child.references, 2u);
        IDispatch* behind = com::DispatchBehind(got);
        EXPECT_EQ(behind, &child);
        behind->Release();
        object->Call("Add", {Variant::Of(got)});
        ASSERT_EQ(fake.args.size(), 1u);
        EXPECT_EQ(fake.args[0].vt, VT_DISPATCH);
        EXPECT_EQ(fake.args[0].pdispVal, &child);

        // A result the program has no type for fails a get; a method's is dropped.
        EXPECT_THROW(object->Get("Double"), AutomationError);
        EXPECT_EQ(object->Call("Double"), Variant());
    }
    fake.Forget();  // the copies of the arguments it kept
    EXPECT_EQ(fake.references, 1u);
    EXPECT_EQ(child.references, 1u);
}

TEST(ComDispatch, FailuresSayWhereAndWhy) {
    ScriptedDispatch fake;
    const ObjectRef object = com::WrapDispatch(&fake, "Excel.Application");
    EXPECT_EQ(Message([&] { object->Get("Nope"); }),
              "Excel.Application has no member \"Nope\": unknown name (0x80020006)");
    EXPECT_EQ(Message([&] { object->Call("Fails"); }),
              "Excel.Application Call Fails: Нет такого листа (Microsoft Excel)");
    EXPECT_EQ(Message([&] { object->Call("Deferred"); }),
              "Excel.Application Call Deferred: filled in later");
    EXPECT_EQ(Message([&] {
                  object->Call("Mismatch", {Variant::Integer(1), Variant::Byte(2)});
              }),
              "Excel.Application Call Mismatch: argument 2: type mismatch (0x80020005)");

    // Nothing is sent that cannot be sent as it is.
    fake.flags = 0;
    EXPECT_EQ(Message([&] { object->Put("Value", Variant::Text("\xD0")); }),
              "text that is not UTF-8");
    auto recorder = std::make_shared<Recorder>();
    EXPECT_EQ(Message([&] { object->Call("Add", {Variant::Of(recorder->Create("X"))}); }),
              "an object of another application cannot be passed");
    EXPECT_EQ(fake.flags, 0);

    EXPECT_FALSE(ComApplications::IsRegistered("Tavex.NotRegistered"));
    EXPECT_EQ(Message([] {
                  ComApplications().Create("Tavex.NotRegistered");
              }).rfind("no application is registered as \"Tavex.NotRegistered\": ", 0),
              0u);
}

}  // namespace
}  // namespace tavex::automation
