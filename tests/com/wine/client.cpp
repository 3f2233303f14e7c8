// tests/com/wine/client.cpp - drives the registered control as a COM client.
//
// Creates Raruru_VU.Reviri by ProgID, calls every member it tests through
// IDispatch by name (as late-bound hosts do), connects an event sink through
// the connection point, and talks to the simulated modem on COM1, which
// sends messages to its own number back as incoming ones. Prints one line
// per check and "N passed, N failed"; the exit code is the failure count.
//
// Threading: one single-threaded apartment; events arrive while it pumps.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdio>
#include <string>
#include <vector>

#include <initguid.h>
#include "Raruru_VU.h"
#include "check.h"

namespace {

using reviri::wine::check;
using reviri::wine::failed;
using reviri::wine::passed;

std::string narrow(const wchar_t* w, int n = -1) {
  if (!w) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, w, n, nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, n, s.data(), size, nullptr, nullptr);
  if (n == -1 && !s.empty()) s.pop_back();
  return s;
}

std::string narrow(BSTR b) { return b ? narrow(b, static_cast<int>(SysStringLen(b))) : ""; }

std::wstring wide(const std::string& s) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), size);
  return w;
}

// Printable form of modem text.
std::string show(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

VARIANT str(const std::string& s) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(wide(s).c_str());
  return v;
}

VARIANT i2(short n) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I2;
  V_I2(&v) = n;
  return v;
}

struct CallResult {
  HRESULT hr = E_FAIL;
  VARIANT value{};
  std::string description;
  std::string text() const {
    VARIANT copy;
    VariantInit(&copy);
    if (FAILED(VariantChangeType(&copy, const_cast<VARIANT*>(&value), 0, VT_BSTR))) return "<" + std::to_string(V_VT(&value)) + ">";
    std::string s = narrow(V_BSTR(&copy));
    VariantClear(&copy);
    return s;
  }
};

// Invokes `name` by name; `args` in natural order (they are reversed here).
CallResult invoke(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT> args) {
  CallResult r;
  VariantInit(&r.value);
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  r.hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(r.hr)) return r;
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (flags == DISPATCH_PROPERTYPUT) params.rgdispidNamedArgs = &putId, params.cNamedArgs = 1;
  EXCEPINFO excep{};
  UINT argErr = 0;
  r.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                        flags == DISPATCH_PROPERTYPUT ? nullptr : &r.value, &excep, &argErr);
  if (r.hr == DISP_E_EXCEPTION) {
    r.description = narrow(excep.bstrDescription);
    r.hr = excep.scode ? excep.scode : r.hr;
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrHelpFile);
  }
  for (VARIANT& v : args) VariantClear(&v);
  return r;
}

CallResult call(IDispatch* o, const wchar_t* name, std::vector<VARIANT> args = {}) {
  return invoke(o, name, DISPATCH_METHOD, std::move(args));
}
CallResult get(IDispatch* o, const wchar_t* name) { return invoke(o, name, DISPATCH_PROPERTYGET, {}); }
HRESULT put(IDispatch* o, const wchar_t* name, VARIANT v) {
  return invoke(o, name, DISPATCH_PROPERTYPUT, {v}).hr;
}

// Records the events it receives; a plain IDispatch, as script hosts offer.
class Sink final : public IDispatch {
 public:
  std::vector<std::string> log;

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID___Reviri) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    std::string entry = std::to_string(id);
    for (UINT i = p->cArgs; i-- > 0;) entry += "|" + narrow(V_BSTR(&p->rgvarg[i]));
    log.push_back(entry);
    return S_OK;
  }
  ULONG refs() const { return refs_; }

 private:
  ULONG refs_ = 1;
};

// Pumps messages until `done` or the timeout, like a host's message loop.
template <typename Done>
bool pumpUntil(Done done, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!done()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  return true;
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

constexpr char kOwnNumber[] = "+4915112345678";  // the simulated modem's

// Waits for an event whose log entry starts with `prefix`; returns it.
std::string awaitEvent(Sink& sink, const std::string& prefix) {
  std::string found;
  pumpUntil([&] {
    for (auto& e : sink.log)
      if (e.rfind(prefix, 0) == 0) found = e;
    return !found.empty();
  }, 15000);
  return found;
}

void runTests(IDispatch* modem) {
  // Defaults and properties.
  CallResult r = get(modem, L"TimeRe");
  check(r.hr == S_OK && V_VT(&r.value) == VT_R8 && V_R8(&r.value) == 900000, "TimeRe starts at 900000");
  r = get(modem, L"Checkautodel");
  check(r.hr == S_OK && V_VT(&r.value) == VT_BOOL && V_BOOL(&r.value) == VARIANT_FALSE,
        "Checkautodel starts False");
  check(get(modem, L"FlagCatchwho").text().empty(), "FlagCatchwho starts empty");
  check(put(modem, L"LastSendSms_text", str("Grüße")) == S_OK &&
            get(modem, L"LastSendSms_text").text() == "Grüße",
        "a string property keeps non-ASCII text");
  check(put(modem, L"TimeRe", i2(20000)) == S_OK && get(modem, L"TimeRe").text() == "20000",
        "TimeRe takes an Integer as Double");

  // Connection point.
  IConnectionPointContainer* container = nullptr;
  modem->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  check(container != nullptr, "IConnectionPointContainer");
  IConnectionPoint* point = nullptr;
  IConnectionPoint* earlier = nullptr;
  if (container) {
    container->FindConnectionPoint(DIID___Reviri, &point);
    container->FindConnectionPoint(DIID___Reviri_v1, &earlier);
    IEnumConnectionPoints* points = nullptr;
    IConnectionPoint* listed[2] = {};
    ULONG fetched = 0;
    IID iid{};
    if (SUCCEEDED(container->EnumConnectionPoints(&points))) {
      points->Next(2, listed, &fetched);
      points->Release();
    }
    if (fetched >= 1) listed[0]->GetConnectionInterface(&iid);
    check(fetched == 1 && iid == DIID___Reviri, "EnumConnectionPoints lists __Reviri only");
    for (ULONG i = 0; i < fetched; ++i) listed[i]->Release();
    IConnectionPoint* none = nullptr;
    check(container->FindConnectionPoint(IID_IDispatch, &none) == CONNECT_E_NOCONNECTION,
          "no connection point for other interfaces");
    container->Release();
  }
  check(point != nullptr && earlier != nullptr, "connection point by current and earlier identity");
  if (earlier) earlier->Release();
  IProvideClassInfo2* info = nullptr;
  GUID source{};
  if (SUCCEEDED(modem->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&info)))) {
    info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source);
    info->Release();
  }
  check(source == DIID___Reviri, "IProvideClassInfo2 names __Reviri");
  _Reviri* dual = nullptr;
  check(SUCCEEDED(modem->QueryInterface(IID__Reviri_v1, reinterpret_cast<void**>(&dual))),
        "QueryInterface accepts the earlier _Reviri identity");
  if (dual) dual->Release(), dual = nullptr;

  Sink sink;
  DWORD cookie = 0;
  if (point) check(point->Advise(&sink, &cookie) == S_OK, "Advise");

  // Errors: a refused argument becomes an exception with a description.
  r = call(modem, L"delSIM", {str("1\r")});
  check(FAILED(r.hr) && !r.description.empty(), "a refused argument fails with a description",
        r.description);

  // Opening the port.
  r = call(modem, L"at", {str("AT\r")});
  check(r.text() == "-1", "at on a closed port returns -1", show(r.text()));
  r = call(modem, L"inimodem", {i2(1), str("19200,n,8,1")});
  check(r.hr == S_OK && V_VT(&r.value) == VT_BOOL && V_BOOL(&r.value) == VARIANT_TRUE,
        "inimodem(1, \"19200,n,8,1\") opens COM1");
  r = call(modem, L"at", {str("AT+CGMI\r")});
  check(contains(r.text(), "Reviri") && contains(r.text(), "OK"), "at returns the raw answer",
        show(r.text()));

  // Omitted optional arguments take their defaults.
  r = call(modem, L"startlisten");
  check(contains(r.text(), "OK"), "startlisten() sends the default 1,1,0,0", show(r.text()));
  check(get(modem, L"FlagCatchwho").text() == "cnmi", "FlagCatchwho reads cnmi");
  VARIANT missing;
  VariantInit(&missing);
  V_VT(&missing) = VT_ERROR;
  V_ERROR(&missing) = DISP_E_PARAMNOTFOUND;
  r = call(modem, L"selSIM", {missing});
  check(contains(r.text(), "+CPMS:"), "selSIM(missing) sends the default SM,SM,SM", show(r.text()));

  // Sending in both codings.
  r = call(modem, L"gsm7smssubmit", {str("+4917012345678"), str("Hello from Wine")});
  check(r.hr == S_OK && V_VT(&r.value) == VT_BSTR && contains(r.text(), "+CMGS: "),
        "gsm7smssubmit returns the modem's answers", show(r.text()));
  r = call(modem, L"UNIsmssubmit", {str("+4917012345678"), str("Привет €")});
  check(r.hr == S_OK && contains(r.text(), "+CMGS: "), "UNIsmssubmit sends UCS2", show(r.text()));

  // Messages to the modem's own number come back: announced, read, reported.
  const std::string text7 = "Round trip from Wine";
  sink.log.clear();
  r = call(modem, L"gsm7smssubmit", {str(kOwnNumber), str(text7)});
  std::string event = awaitEvent(sink, "1|");
  const std::string tail7 = "|4915112345678|" + text7;
  check(event.size() > tail7.size() + 2 && event.substr(event.size() - tail7.size()) == tail7,
        "SMSReceived(index, sender, text) on the control's thread", event);
  check(contains(get(modem, L"LastReadSms_sender").text(), "4915112345678"), "LastReadSms_sender");
  // The receive buffer fed by hand: its processing reads the message again
  // and raises the event inside the call, before PostTerminal returns.
  const std::string index = event.size() > 2 ? event.substr(2, event.find('|', 2) - 2) : "";
  sink.log.clear();
  r = call(modem, L"PostTerminal", {str("\r\n+CMTI: \"SM\"," + index + "\r\n")});
  check(r.hr == S_OK && sink.log.size() == 1 && sink.log[0] == "1|" + index + tail7,
        "PostTerminal raises SMSReceived synchronously", sink.log.empty() ? "" : sink.log[0]);

  const std::string textUcs2 = "Привет € 😀";
  sink.log.clear();
  r = call(modem, L"UNIsmssubmit", {str(kOwnNumber), str(textUcs2)});
  event = awaitEvent(sink, "1|");
  check(event.size() > textUcs2.size() && event.substr(event.size() - textUcs2.size()) == textUcs2,
        "a UCS2 message comes back unchanged", event);

  // A by-reference argument comes back changed.
  BSTR encodeMe = SysAllocString(L"A\r\nB");
  VARIANT byRef;
  VariantInit(&byRef);
  V_VT(&byRef) = VT_BYREF | VT_BSTR;
  V_BSTRREF(&byRef) = &encodeMe;
  r = call(modem, L"ENCodeunicodestring", {byRef});
  check(r.text() == "0400410042" && narrow(encodeMe) == "AB",
        "ENCodeunicodestring returns UCS2 and removes CR LF from its argument",
        r.text() + " / " + show(narrow(encodeMe)));
  SysFreeString(encodeMe);

  // A send that does not wait: its result arrives as SMSSendOk.
  sink.log.clear();
  r = call(modem, L"gsm7smssubmit2", {str("+4917012345678"), str("later")});
  check(r.hr == S_OK && contains(r.text(), ">"), "gsm7smssubmit2 returns after the prompt", show(r.text()));
  event = awaitEvent(sink, "3|");
  check(event.size() > 2, "SMSSendOk(reference) for the no-wait send", event);

  // The phonebook, by name through IDispatch (dispatched by hand) ...
  call(modem, L"phoneucs2charset");
  call(modem, L"phonebookwrite", {str("1"), str("+4915112345"), str("145"), str("Alice")});
  call(modem, L"phonebookwrite", {str("2"), str("5551234"), str("129"), str("Bob")});
  SAFEARRAY* book = nullptr;
  VARIANT bookRef;
  VariantInit(&bookRef);
  V_VT(&bookRef) = VT_BYREF | VT_ARRAY | VT_RECORD;
  V_ARRAYREF(&bookRef) = &book;
  VARIANT ins = str("1,2");
  VARIANT args[2] = {bookRef, ins};  // last argument first
  DISPPARAMS params{args, nullptr, 2, 0};
  DISPID id = 0;
  LPOLESTR name = const_cast<LPOLESTR>(L"readphonebook");
  modem->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = modem->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                             nullptr, nullptr);
  VariantClear(&ins);
  std::string rows;
  LONG lo = 0, hi = -1;
  if (book) {
    SafeArrayGetLBound(book, 1, &lo);
    SafeArrayGetUBound(book, 1, &hi);
    phonebookentry* data = nullptr;
    SafeArrayAccessData(book, reinterpret_cast<void**>(&data));
    for (LONG i = 0; i <= hi - lo; ++i)
      rows += narrow(data[i].cell) + "/" + narrow(data[i].type) + "/" + narrow(data[i].name) + ";";
    SafeArrayUnaccessData(book);
    SafeArrayDestroy(book);
    book = nullptr;
  }
  check(hr == S_OK && V_VT(&result) == VT_EMPTY &&
            rows == "+4915112345/145/Alice;5551234/129/Bob;//;",
        "readphonebook through IDispatch fills the array", rows);

  // ... and through the vtable.
  if (SUCCEEDED(modem->QueryInterface(IID__Reviri, reinterpret_cast<void**>(&dual)))) {
    BSTR range = SysAllocString(L"1,2");
    VariantInit(&result);
    hr = dual->readphonebook(range, &book, &result);
    SysFreeString(range);
    LONG count = 0;
    if (book) {
      SafeArrayGetUBound(book, 1, &hi);
      SafeArrayGetLBound(book, 1, &lo);
      count = hi - lo + 1;
      SafeArrayDestroy(book);
    }
    check(hr == S_OK && count == 3, "readphonebook through the vtable", std::to_string(count));
    dual->Release();
  }

  r = call(modem, L"disconnect1");
  check(r.hr == S_OK && V_VT(&r.value) == VT_BOOL && V_BOOL(&r.value) == VARIANT_FALSE, "disconnect1");
  if (point) {
    check(point->Unadvise(cookie) == S_OK, "Unadvise");
    check(point->Unadvise(cookie) == CONNECT_E_NOCONNECTION, "a second Unadvise is refused");
    point->Release();
  }
  check(sink.refs() == 1, "the control released the sink");
}

std::wstring registryText(const std::wstring& key, const wchar_t* name = nullptr) {
  wchar_t buffer[512];
  DWORD size = sizeof buffer;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS)
    return L"<missing>";
  return buffer;
}

// `vtablePart`: for a dual interface, the flags of its vtable side.
WORD typeFlags(ITypeLib* lib, REFGUID guid, bool vtablePart = false) {
  ITypeInfo* info = nullptr;
  if (FAILED(lib->GetTypeInfoOfGuid(guid, &info))) return 0xffff;
  HREFTYPE ref = 0;
  ITypeInfo* part = nullptr;
  if (vtablePart && SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) &&
      SUCCEEDED(info->GetRefTypeInfo(ref, &part))) {
    info->Release();
    info = part;
  }
  TYPEATTR* attr = nullptr;
  info->GetTypeAttr(&attr);
  const WORD flags = attr->wTypeFlags;
  info->ReleaseTypeAttr(attr);
  info->Release();
  return flags;
}

// What regsvr32 left in the registry, the registered type library and the
// module's resources.
void checkRegistration() {
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadRegTypeLib(LIBID_Raruru_VU, 1, 1, 0x0409, &lib);
  check(hr == S_OK, "type library Raruru_VU 1.1 (0x0409) is registered");
  if (lib) {
    TLIBATTR* attr = nullptr;
    lib->GetLibAttr(&attr);
    check(attr->wMajorVerNum == 1 && attr->wMinorVerNum == 1 && attr->lcid == 0x0409 &&
              (attr->wLibFlags & LIBFLAG_FCONTROL),
          "library version 1.1, locale 0x0409, control flag");
    lib->ReleaseTLibAttr(attr);
    BSTR name = nullptr, help = nullptr;
    lib->GetDocumentation(-1, &name, &help, nullptr, nullptr);
    check(narrow(name) == "Raruru_VU" && narrow(help) == "Raruru_VU", "library name and help string",
          narrow(name) + "/" + narrow(help));
    SysFreeString(name);
    SysFreeString(help);
    check(typeFlags(lib, CLSID_Reviri) == TYPEFLAG_FCONTROL, "class Reviri: the control flag only",
          std::to_string(typeFlags(lib, CLSID_Reviri)));
    const WORD wanted = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE;
    const WORD dispatchSide = typeFlags(lib, IID__Reviri);
    const WORD vtableSide = typeFlags(lib, IID__Reviri, true);
    check((dispatchSide & wanted) == wanted && (vtableSide & (wanted | TYPEFLAG_FOLEAUTOMATION)) ==
                                                   (wanted | TYPEFLAG_FOLEAUTOMATION),
          "_Reviri: hidden, dual, non-extensible, OLE Automation",
          std::to_string(dispatchSide) + "/" + std::to_string(vtableSide));
    check(typeFlags(lib, DIID___Reviri) & TYPEFLAG_FHIDDEN, "__Reviri: hidden");
    lib->Release();
  }

  wchar_t clsidText[40];
  StringFromGUID2(CLSID_Reviri, clsidText, 40);
  const std::wstring clsid = std::wstring(L"CLSID\\") + clsidText;
  check(registryText(clsid + L"\\InprocServer32", L"ThreadingModel") == L"Apartment", "apartment threaded");
  check(registryText(clsid + L"\\MiscStatus\\1") == L"131473", "OLE status flags 0x20191",
        narrow(registryText(clsid + L"\\MiscStatus\\1").c_str()));
  check(registryText(clsid + L"\\Control") != L"<missing>", "registered as a control");
  check(registryText(L"Raruru_VU.Reviri\\CLSID") == clsidText, "ProgID Raruru_VU.Reviri");
  const std::wstring toolbox = registryText(clsid + L"\\ToolboxBitmap32");
  check(toolbox.size() > 7 && toolbox.substr(toolbox.size() - 7) == L", 30000", "toolbox bitmap 30000",
        narrow(toolbox.c_str()));

  const std::wstring path = registryText(clsid + L"\\InprocServer32");
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  check(module && FindResourceW(module, MAKEINTRESOURCEW(30000), MAKEINTRESOURCEW(2)),
        "bitmap resource 30000 in the module", narrow(path.c_str()));
  if (module) FreeLibrary(module);
  DWORD ignored = 0;
  std::vector<char> version(GetFileVersionInfoSizeW(path.c_str(), &ignored));
  void* value = nullptr;
  UINT length = 0;
  check(!version.empty() && GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(version.size()), version.data()) &&
            VerQueryValueW(version.data(), L"\\StringFileInfo\\040904B0\\OLESelfRegister", &value, &length),
        "version resource marked OLESelfRegister");
}

}  // namespace

int main() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 100;
  checkRegistration();
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(L"Raruru_VU.Reviri", &clsid);
  check(hr == S_OK && clsid == CLSID_Reviri, "ProgID Raruru_VU.Reviri names the class");
  IDispatch* modem = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                        reinterpret_cast<void**>(&modem));
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(hr));
  check(hr == S_OK && modem, "CoCreateInstance", code);
  if (modem) {
    runTests(modem);
    modem->Release();
  }
  // With no object left the server may be unloaded, and loaded again.
  CoFreeUnusedLibrariesEx(0, 0);
  check(GetModuleHandleW(L"pemlam22.ocx") == nullptr, "the server unloads when no object is left");
  modem = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                        reinterpret_cast<void**>(&modem));
  check(hr == S_OK && modem && get(modem, L"TimeRe").text() == "900000",
        "a new object after reloading starts from the defaults");
  if (modem) modem->Release();
  CoUninitialize();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed;
}
