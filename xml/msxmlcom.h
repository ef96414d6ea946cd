// The COM plumbing the MSXML back-end is built on: owning pointers, strings and
// variants, interface identifiers, and failing calls turned into exceptions.
// Internal to the back-end (msxmldom.cpp, msxmlwine.cpp).
#pragma once
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <msxml2.h>

#include <climits>
#include <string>
#include <utility>

#include "platform/codepage.h"
#include "xml/msxmldom.h"
#include "xml/xmldom.h"

namespace velarin::xml::msxml {

using platform::SysToWide;
using platform::WideToSys;

const IID kIID_IXMLDOMDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIID_IXMLDOMDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIID_IXMLDOMElement = {0x2933BF86, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIID_IXMLDOMAttribute = {0x2933BF85, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// An owning interface pointer.
template <class T>
class Com {
 public:
  Com() = default;
  explicit Com(T* p) : p_(p) {}  // takes over a reference
  Com(const Com& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  Com(Com&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Com& operator=(Com o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Com() {
    if (p_) p_->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** out() {
    *this = Com();
    return &p_;
  }
  static Com Share(T* p) {
    if (p) p->AddRef();
    return Com(p);
  }

 private:
  T* p_ = nullptr;
};

// A BSTR that frees itself.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::u16string& s) {
    if (s.size() > UINT_MAX / 2) throw DOMException("Out of memory");
    b_ = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(s.data()), UINT(s.size()));
    if (!b_) throw DOMException("Out of memory");
  }
  explicit Bstr(const char16_t* s) : Bstr(std::u16string(s)) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(b_); }
  BSTR get() const { return b_; }
  BSTR* out() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  std::u16string str() const {
    return b_ ? std::u16string(reinterpret_cast<const char16_t*>(b_), SysStringLen(b_)) : std::u16string();
  }

 private:
  BSTR b_ = nullptr;
};

// A VARIANT that clears itself.
struct Variant {
  VARIANT v;
  Variant() { VariantInit(&v); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&v); }
};

inline std::u16string Trimmed(std::u16string s) {
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\r' || s.back() == u'\n' || s.back() == u'\t'))
    s.pop_back();
  return s;
}

inline std::string SystemText(HRESULT hr) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, DWORD(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string s;
  if (n && text) s.assign(reinterpret_cast<const char16_t*>(text), n);
  if (text) LocalFree(text);
  s = Trimmed(s);
  while (!s.empty() && s.back() == u'.') s.pop_back();
  if (s.empty()) return Format("OLE error %.8lX", static_cast<unsigned long>(hr));
  return WideToSys(s);
}

// A failing call: the component's own description when it left one, else the system's text.
[[noreturn]] inline void Fail(HRESULT hr) {
  IErrorInfo* raw = nullptr;
  if (GetErrorInfo(0, &raw) == S_OK && raw) {
    Com<IErrorInfo> info(raw);
    Bstr description, source, helpFile;
    DWORD helpContext = 0;
    info->GetDescription(description.out());
    info->GetSource(source.out());
    info->GetHelpFile(helpFile.out());
    info->GetHelpContext(&helpContext);
    std::u16string d = Trimmed(description.str());
    if (!d.empty())
      throw EOleException(WideToSys(d), int32_t(hr), WideToSys(source.str()), WideToSys(helpFile.str()),
                          int(helpContext));
  }
  throw EOleException(SystemText(hr), int32_t(hr), "", "", 0);
}

inline void Check(HRESULT hr) {
  if (FAILED(hr)) Fail(hr);
}

inline Com<IUnknown> Identity(IUnknown* p) {
  Com<IUnknown> u;
  if (p) p->QueryInterface(kIID_IUnknown, reinterpret_cast<void**>(u.out()));
  return u;
}

// The node's kind; NODE_INVALID when it cannot tell.
inline DOMNodeType KindOf(IXMLDOMNode* n) {
  DOMNodeType t = NODE_INVALID;
  Check(n->get_nodeType(&t));
  return t;
}

// A text or attribute node's value, "" for kinds without one.
inline std::u16string ValueOf(IXMLDOMNode* n) {
  Variant v;
  Check(n->get_nodeValue(&v.v));
  if (V_VT(&v.v) != VT_BSTR || !V_BSTR(&v.v)) return u"";
  return std::u16string(reinterpret_cast<const char16_t*>(V_BSTR(&v.v)), SysStringLen(V_BSTR(&v.v)));
}

}  // namespace velarin::xml::msxml
