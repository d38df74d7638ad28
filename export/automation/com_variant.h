#pragma once

// Windows only: the COM side of the automation seam, shared by the COM client
// (com_automation.h) and the test server that puts the built-in engine behind IDispatch.

// clang-format off
#include <windows.h>  // first: the others need its types
#include <ole2.h>
#include <oleauto.h>
// clang-format on

#include <functional>
#include <string>

#include "export/automation/automation.h"

namespace tavex::automation::com {

// An object's IDispatch with a reference added for the caller, or nullptr when it has none.
using DispatchOf = std::function<IDispatch*(const ObjectRef&)>;
// The object for an IDispatch received (the callee adds its own reference).
using ObjectOf = std::function<ObjectRef(IDispatch*)>;

// Fills out, which must hold nothing that needs freeing, from value: Boolean as VT_BOOL
// (VARIANT_TRUE / VARIANT_FALSE), Integer VT_I4, Byte VT_UI1, Text a UTF-16 VT_BSTR, Object
// VT_DISPATCH, Empty VT_EMPTY. Raises AutomationError for text that is not UTF-8 and for an
// object that has no IDispatch; out then holds VT_EMPTY.
void ToVariant(const Variant& value, VARIANT& out, const DispatchOf& dispatchOf);

// The value of in (by reference or not): VT_BOOL as Boolean, VT_UI1 Byte, the other integer
// types Integer when they fit 32 bits, VT_BSTR Text, VT_DISPATCH (or a VT_UNKNOWN that is one)
// Object, VT_EMPTY, VT_NULL and a null object Empty. Raises AutomationError for anything else,
// naming the type.
Variant FromVariant(const VARIANT& in, const ObjectOf& objectOf);

// An automation object over dispatch (a reference is added). name starts its messages.
ObjectRef WrapDispatch(IDispatch* dispatch, std::string name);
// The IDispatch behind an object that WrapDispatch made, with a reference added; else nullptr.
IDispatch* DispatchBehind(const ObjectRef& object);

// "Member not found (0x80020003)": the system's text where it has one.
std::string ErrorText(HRESULT hr);

// Exact UTF-8 <-> UTF-16; raise AutomationError on malformed input.
std::wstring Utf16(const std::string& utf8);
std::string Utf8(const wchar_t* utf16, std::size_t length);

}  // namespace tavex::automation::com
