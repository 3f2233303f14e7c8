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
constexpr char kOk[] = "\r\nOK\r\n";

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Every GUI host runs its message loop between calls to the control. Each
// of 30 calls per member, with the loop pumped before it, must get its
// answer whole: a read left in flight between calls loses answers' bytes.
void answersStayWholeWhileTheHostPumps(IDispatch* modem) {
  struct Member {
    const wchar_t* name;
    std::vector<VARIANT> (*args)();
    bool (*whole)(const std::string&);
  };
  const Member members[] = {
      {L"at", [] { return std::vector<VARIANT>{str("AT\r")}; },
       [](const std::string& a) { return a == kOk; }},
      {L"getsq", [] { return std::vector<VARIANT>{}; },
       [](const std::string& a) { return a.rfind("\r\n+CSQ: ", 0) == 0 && endsWith(a, kOk); }},
      {L"phonecharset", [] { return std::vector<VARIANT>{}; },
       [](const std::string& a) { return a == " \"UCS2\""; }},
      {L"startlisten", [] { return std::vector<VARIANT>{}; },
       [](const std::string& a) { return a == kOk; }},
      {L"phonebookwrite",
       [] { return std::vector<VARIANT>{str("3"), str("5551234"), str("129"), str("Carol")}; },
       [](const std::string& a) { return a == kOk; }},
  };
  call(modem, L"phoneucs2charset");  // names in phonebookwrite are UCS2 from here on
  for (const Member& m : members) {
    int whole = 0;
    std::string firstBroken;
    for (int i = 0; i < 30; ++i) {
      pumpUntil([] { return false; }, 20);
      const std::string answer = call(modem, m.name, m.args()).text();
      if (m.whole(answer)) ++whole;
      else if (firstBroken.empty()) firstBroken = show(answer);
    }
    check(whole == 30, narrow(m.name) + ": 30 of 30 answers whole while the host pumps messages",
          std::to_string(whole) + " whole; first broken: " + firstBroken);
  }
}

// An array of `count` phonebook records with lower bound `lowerBound`.
SAFEARRAY* recordArray(IRecordInfo* record, LONG lowerBound, ULONG count) {
  SAFEARRAYBOUND bound{count, lowerBound};
  return SafeArrayCreateEx(VT_RECORD, 1, &bound, record);
}

// "cell/type/name;" per record of a record array, with its bounds.
std::string describeBook(SAFEARRAY* book) {
  if (!book) return "<none>";
  LONG lo = 0, hi = -1;
  SafeArrayGetLBound(book, 1, &lo);
  SafeArrayGetUBound(book, 1, &hi);
  std::string rows = std::to_string(lo) + ".." + std::to_string(hi) + ":";
  phonebookentry* data = nullptr;
  if (FAILED(SafeArrayAccessData(book, reinterpret_cast<void**>(&data)))) return rows + "<locked>";
  for (LONG i = 0; i <= hi - lo; ++i)
    rows += narrow(data[i].cell) + "/" + narrow(data[i].type) + "/" + narrow(data[i].name) + ";";
  SafeArrayUnaccessData(book);
  return rows;
}

// readphonebook by name with `book` as the by-reference argument.
CallResult readBook(IDispatch* modem, const std::string& range, VARIANT book) {
  return call(modem, L"readphonebook", {str(range), book});
}

VARIANT recordArrayRef(SAFEARRAY** book) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BYREF | VT_ARRAY | VT_RECORD;
  V_ARRAYREF(&v) = book;
  return v;
}

// The host's array keeps its lower bound; a fixed or locked one is refused
// and left exactly as it was. Expects entries 1 and 2 written.
void readphonebookRespectsTheHostsArray(IDispatch* modem, IRecordInfo* record) {
  // Entries 1 and 2 and the empty element that ends the host's arrays.
  const std::string two = "+4915112345/145/Alice;5551234/129/Bob;//;";
  SAFEARRAY* book = recordArray(record, 1, 0);
  CallResult r = readBook(modem, "1,2", recordArrayRef(&book));
  check(r.hr == S_OK && describeBook(book) == "1..3:" + two,
        "readphonebook keeps the array's lower bound 1", describeBook(book));
  SafeArrayDestroy(book);

  book = recordArray(record, -3, 5);
  r = readBook(modem, "1,2", recordArrayRef(&book));
  check(r.hr == S_OK && describeBook(book) == "-3..-1:" + two,
        "readphonebook re-dimensions a filled array from its lower bound -3", describeBook(book));
  SafeArrayDestroy(book);

  // A Variant holding an array of Variants, lower bound 7, as some hosts pass it.
  SAFEARRAYBOUND bound{2, 7};
  VARIANT holder;
  VariantInit(&holder);
  V_VT(&holder) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(&holder) = SafeArrayCreate(VT_VARIANT, 1, &bound);
  VARIANT ref;
  VariantInit(&ref);
  V_VT(&ref) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(&ref) = &holder;
  r = readBook(modem, "1,2", ref);
  const bool records = V_VT(&holder) == (VT_ARRAY | VT_RECORD);
  check(r.hr == S_OK && records && describeBook(V_ARRAY(&holder)) == "7..9:" + two,
        "readphonebook into a Variant keeps the held array's lower bound",
        records ? describeBook(V_ARRAY(&holder)) : std::to_string(V_VT(&holder)));
  VariantClear(&holder);

  // Fixed bounds: refused with an error, the array untouched.
  book = recordArray(record, 0, 1);
  phonebookentry* data = nullptr;
  SafeArrayAccessData(book, reinterpret_cast<void**>(&data));
  data[0].name = SysAllocString(L"kept");
  SafeArrayUnaccessData(book);
  book->fFeatures |= FADF_FIXEDSIZE;
  SAFEARRAY* const fixed = book;
  r = readBook(modem, "1,2", recordArrayRef(&book));
  check(r.hr == static_cast<HRESULT>(0x800A000A) && !r.description.empty() && book == fixed &&
            describeBook(book) == "0..0://kept;" && (book->fFeatures & FADF_FIXEDSIZE),
        "readphonebook refuses a fixed-size array and leaves it as it was",
        r.description + " / " + describeBook(book));
  book->fFeatures &= ~FADF_FIXEDSIZE;

  // Locked by the host: refused, untouched, still locked once.
  SafeArrayLock(book);
  r = readBook(modem, "1,2", recordArrayRef(&book));
  const ULONG locks = book->cLocks;
  SafeArrayUnlock(book);
  check(r.hr == static_cast<HRESULT>(0x800A000A) && book == fixed && locks == 1 &&
            describeBook(book) == "0..0://kept;",
        "readphonebook refuses a locked array and leaves it as it was",
        r.description + " / " + describeBook(book));
  SafeArrayDestroy(book);

  // Through the vtable too.
  _Reviri* dual = nullptr;
  if (SUCCEEDED(modem->QueryInterface(IID__Reviri, reinterpret_cast<void**>(&dual)))) {
    BSTR range = SysAllocString(L"1,2");
    VARIANT result;
    VariantInit(&result);
    book = recordArray(record, 5, 0);
    const HRESULT hr = dual->readphonebook(range, &book, &result);
    check(hr == S_OK && describeBook(book) == "5..7:" + two,
          "readphonebook through the vtable keeps lower bound 5", describeBook(book));
    SafeArrayDestroy(book);
    book = recordArray(record, 0, 0);
    SafeArrayLock(book);
    SAFEARRAY* const locked = book;
    check(dual->readphonebook(range, &book, &result) == static_cast<HRESULT>(0x800A000A) &&
              book == locked,
          "readphonebook through the vtable refuses a locked array");
    SafeArrayUnlock(book);
    SafeArrayDestroy(book);
    SysFreeString(range);
    dual->Release();
  }
}

// The phonebookentry record of the registered type library.
IRecordInfo* phonebookRecord() {
  ITypeLib* lib = nullptr;
  if (FAILED(LoadRegTypeLib(LIBID_Raruru_VU, 1, 1, 0x0409, &lib))) return nullptr;
  ITypeInfo* info = nullptr;
  IRecordInfo* record = nullptr;
  for (UINT i = 0, n = lib->GetTypeInfoCount(); i < n && !record; ++i) {
    TYPEKIND kind;
    if (FAILED(lib->GetTypeInfoType(i, &kind)) || kind != TKIND_RECORD) continue;
    if (SUCCEEDED(lib->GetTypeInfo(i, &info))) {
      GetRecordInfoFromTypeInfo(info, &record);
      info->Release();
    }
  }
  lib->Release();
  return record;
}

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
  answersStayWholeWhileTheHostPumps(modem);

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
  IRecordInfo* record = phonebookRecord();
  check(record != nullptr, "the phonebookentry record of the type library");
  if (record) {
    readphonebookRespectsTheHostsArray(modem, record);
    record->Release();
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

// ---- Registration for the current user (regsvr32 /n /i:user) ----------------------

std::wstring guidString(REFGUID guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

// A string value of hive\key, in the registry view of the given flag
// (0: this process's own), or "<missing>".
std::wstring valueIn(HKEY hive, const std::wstring& key, const wchar_t* name = nullptr,
                     REGSAM view = 0) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(hive, key.c_str(), 0, KEY_READ | view, &h) != ERROR_SUCCESS) return L"<missing>";
  wchar_t buffer[512];
  DWORD size = sizeof buffer;
  const LSTATUS rc = RegGetValueW(h, nullptr, name, RRF_RT_REG_SZ, nullptr, buffer, &size);
  RegCloseKey(h);
  return rc == ERROR_SUCCESS ? buffer : L"<missing>";
}

bool keyIn(HKEY hive, const std::wstring& key, REGSAM view = 0) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(hive, key.c_str(), 0, KEY_READ | view, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

// Under HKEY_CURRENT_USER (per user) or HKEY_LOCAL_MACHINE (machine-wide).
const std::wstring kClasses = L"Software\\Classes\\";

// The keys of the class, its ProgID, type library and interfaces.
std::vector<std::wstring> registrationKeys() {
  return {L"CLSID\\" + guidString(CLSID_Reviri), L"Raruru_VU.Reviri",
          L"TypeLib\\" + guidString(LIBID_Raruru_VU), L"Interface\\" + guidString(IID__Reviri),
          L"Interface\\" + guidString(DIID___Reviri)};
}

// Nothing of the control under the machine's classes, in either view.
void checkNothingMachineWide() {
  for (const std::wstring& key : registrationKeys())
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
      check(!keyIn(HKEY_LOCAL_MACHINE, kClasses + key, view),
            "nothing machine-wide: " + narrow(key.c_str()),
            view == KEY_WOW64_32KEY ? "32-bit view" : "64-bit view");
}

void checkUserRegistration() {
  const std::wstring clsid = kClasses + L"CLSID\\" + guidString(CLSID_Reviri);
  const std::wstring path = valueIn(HKEY_CURRENT_USER, clsid + L"\\InprocServer32");
  check(GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES,
        "per user: InprocServer32 names the module", narrow(path.c_str()));
  check(valueIn(HKEY_CURRENT_USER, clsid + L"\\InprocServer32", L"ThreadingModel") == L"Apartment",
        "per user: apartment threaded");
  check(keyIn(HKEY_CURRENT_USER, clsid + L"\\Control"), "per user: registered as a control");
  check(valueIn(HKEY_CURRENT_USER, kClasses + L"Raruru_VU.Reviri\\CLSID") ==
            guidString(CLSID_Reviri),
        "per user: ProgID Raruru_VU.Reviri");
#ifdef _WIN64
  const wchar_t* platform = L"win64";
#else
  const wchar_t* platform = L"win32";
#endif
  const std::wstring version = kClasses + L"TypeLib\\" + guidString(LIBID_Raruru_VU) + L"\\1.1";
  const std::wstring libPath = valueIn(HKEY_CURRENT_USER, version + L"\\409\\" + platform);
  ITypeLib* lib = nullptr;
  TLIBATTR* attr = nullptr;
  const bool loads = SUCCEEDED(LoadTypeLibEx(libPath.c_str(), REGKIND_NONE, &lib)) &&
                     SUCCEEDED(lib->GetLibAttr(&attr)) && attr->guid == LIBID_Raruru_VU;
  const WORD flags = attr ? attr->wLibFlags : 0xffff;
  if (attr) lib->ReleaseTLibAttr(attr);
  if (lib) lib->Release();
  check(loads, "per user: the type library's entry for this platform loads",
        narrow(libPath.c_str()));
  check((flags & LIBFLAG_FCONTROL) &&
            valueIn(HKEY_CURRENT_USER, version + L"\\FLAGS") == std::to_wstring(flags),
        "per user: type library flags", narrow(valueIn(HKEY_CURRENT_USER, version + L"\\FLAGS").c_str()));
  const struct {
    GUID iid;
    const wchar_t* name;
    const wchar_t* marshaler;
  } interfaces[] = {{IID__Reviri, L"_Reviri", L"{00020424-0000-0000-C000-000000000046}"},
                    {DIID___Reviri, L"__Reviri", L"{00020420-0000-0000-C000-000000000046}"}};
  for (const auto& i : interfaces) {
    const std::wstring key = kClasses + L"Interface\\" + guidString(i.iid);
    check(valueIn(HKEY_CURRENT_USER, key) == i.name &&
              valueIn(HKEY_CURRENT_USER, key + L"\\ProxyStubClsid32") == i.marshaler &&
              valueIn(HKEY_CURRENT_USER, key + L"\\TypeLib") == guidString(LIBID_Raruru_VU) &&
              valueIn(HKEY_CURRENT_USER, key + L"\\TypeLib", L"Version") == L"1.1",
          "per user: interface " + narrow(i.name) + " marshaled through Automation",
          narrow(valueIn(HKEY_CURRENT_USER, key + L"\\ProxyStubClsid32").c_str()));
  }
  checkNothingMachineWide();
}

void checkNoUserRegistration() {
  for (const std::wstring& key : registrationKeys())
    check(!keyIn(HKEY_CURRENT_USER, kClasses + key),
          "removed per user: " + narrow(key.c_str()));
  checkNothingMachineWide();
}

}  // namespace

int main(int argc, char** argv) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 100;
  // Registration checks only, no modem: after regsvr32 /n /i:user, and after
  // regsvr32 /u /n /i:user.
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "user-registered" || mode == "user-unregistered") {
    if (mode == "user-registered") checkUserRegistration();
    else checkNoUserRegistration();
    CoUninitialize();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed;
  }
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
