// com/reviri_control.cpp - the Reviri control as a COM object.
#include "com/reviri_control.h"

#include <new>
#include <stdexcept>

#include "com/automation.h"
#include "control/state/control_core.h"

namespace reviri::com {
namespace {

// The record as the type library lays it out (three BSTRs).
using ComPhonebookEntry = ::phonebookentry;

constexpr UINT kDataArrived = WM_APP + 1;
constexpr wchar_t kWindowClass[] = L"ReviriControlReceiveWindow";
constexpr DISPID kDispidReadPhonebook = 0x6003004c;
constexpr DISPID kEventSMSReceived = 1;
constexpr DISPID kEventSMSERR = 2;
constexpr DISPID kEventSMSSendOk = 3;

// Visual Basic's run-time error numbers, as HRESULTs of FACILITY_CONTROL.
constexpr HRESULT kErrInvalidArgument = static_cast<HRESULT>(0x800A0005);  // 5
constexpr HRESULT kErrOverflow = static_cast<HRESULT>(0x800A0006);         // 6
constexpr HRESULT kErrSubscript = static_cast<HRESULT>(0x800A0009);        // 9
constexpr HRESULT kErrArrayLocked = static_cast<HRESULT>(0x800A000A);      // 10
constexpr HRESULT kErrDeviceIo = static_cast<HRESULT>(0x800A0039);         // 57

// The host's array cannot take a new size: it is fixed or locked.
struct ArrayLocked : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "Process all pending messages once": the host event pump of the AT exchange.
void pumpPendingMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Leave the quit request for the host's own loop.
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

LRESULT CALLBACK receiveWindowProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
  if (message == kDataArrived) {
    auto* control = reinterpret_cast<ReviriControl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (control) control->onDataArrived();
    return 0;
  }
  return DefWindowProcW(hwnd, message, wp, lp);
}

void CALLBACK dataWaiting(void* window, BOOLEAN /*timedOut*/) {
  PostMessageW(static_cast<HWND>(window), kDataArrived, 0, 0);
}

HWND createReceiveWindow() {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = receiveWindowProc;
    wc.hInstance = gModule;
    wc.lpszClassName = kWindowClass;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  if (!registered) return nullptr;
  return CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, gModule,
                         nullptr);
}

// Records the description of the exception being handled as the thread's
// error info and returns the matching HRESULT.
HRESULT reportCurrentException() {
  HRESULT hr = E_FAIL;
  std::string description;
  try {
    throw;
  } catch (const SerialError& e) {
    hr = kErrDeviceIo, description = e.what();
  } catch (const std::invalid_argument& e) {
    hr = kErrInvalidArgument, description = e.what();
  } catch (const ArrayLocked& e) {
    hr = kErrArrayLocked, description = e.what();
  } catch (const std::out_of_range& e) {
    hr = kErrSubscript, description = e.what();
  } catch (const std::overflow_error& e) {
    hr = kErrOverflow, description = e.what();
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY, description = "Out of memory";
  } catch (const std::exception& e) {
    hr = E_FAIL, description = e.what();
  } catch (...) {
    hr = E_UNEXPECTED, description = "Unexpected error";
  }
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    try {
      const std::u16string wide = text::utf8ToUtf16(description);
      create->SetDescription(const_cast<LPOLESTR>(reinterpret_cast<const OLECHAR*>(wide.c_str())));
    } catch (...) {
    }
    create->SetSource(const_cast<LPOLESTR>(L"Raruru_VU.Reviri"));
    create->SetGUID(IID__Reviri);
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return hr;
}

// Finds the phonebookentry record of the type library.
HRESULT phonebookRecordInfo(ITypeLib* lib, IRecordInfo** out) {
  const UINT count = lib->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    TYPEKIND kind;
    if (FAILED(lib->GetTypeInfoType(i, &kind)) || kind != TKIND_RECORD) continue;
    BSTR name = nullptr;
    if (FAILED(lib->GetDocumentation(static_cast<INT>(i), &name, nullptr, nullptr, nullptr)))
      continue;
    const bool match = name && std::wstring(name) == L"phonebookentry";
    SysFreeString(name);
    if (!match) continue;
    ITypeInfo* info = nullptr;
    HRESULT hr = lib->GetTypeInfo(i, &info);
    if (FAILED(hr)) return hr;
    hr = GetRecordInfoFromTypeInfo(info, out);
    info->Release();
    return hr;
  }
  return TYPE_E_ELEMENTNOTFOUND;
}

std::vector<phonebookentry> entriesOf(SAFEARRAY* array) {
  std::vector<phonebookentry> entries;
  if (!array || SafeArrayGetDim(array) != 1) return entries;
  VARTYPE vt = VT_EMPTY;
  if (FAILED(SafeArrayGetVartype(array, &vt)) || vt != VT_RECORD) return entries;
  if (SafeArrayGetElemsize(array) != sizeof(ComPhonebookEntry)) return entries;
  LONG lo = 0, hi = -1;
  SafeArrayGetLBound(array, 1, &lo);
  SafeArrayGetUBound(array, 1, &hi);
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(array, &data))) return entries;
  const auto* rows = static_cast<const ComPhonebookEntry*>(data);
  for (LONG i = 0; i <= hi - lo; ++i)
    entries.push_back({fromBstr(rows[i].cell), fromBstr(rows[i].type), fromBstr(rows[i].name)});
  SafeArrayUnaccessData(array);
  return entries;
}

// An array the control may replace: neither declared with fixed bounds (its
// descriptor lives in the host's frame or record) nor locked by the host
// (For Each, a pointer taken into its data). Replacing either would leave
// the host with a destroyed or dangling array.
void requireReplaceable(const SAFEARRAY* array) {
  if (!array) return;
  constexpr USHORT kFixed = FADF_FIXEDSIZE | FADF_STATIC | FADF_AUTO | FADF_EMBEDDED;
  if (array->fFeatures & kFixed)
    throw ArrayLocked("readphonebook: the phonebook array has fixed bounds; pass a dynamic array");
  if (array->cLocks != 0)
    throw ArrayLocked("readphonebook: the phonebook array is locked by the caller");
}

// Puts `replacement` (when there is one) in the host's slot, destroying the
// array it held.
void replaceArray(SAFEARRAY** slot, SAFEARRAY* replacement) {
  if (!replacement) return;
  if (*slot) SafeArrayDestroy(*slot);
  *slot = replacement;
}

LONG lowerBoundOf(SAFEARRAY* array) {
  LONG lowerBound = 0;
  if (array && FAILED(SafeArrayGetLBound(array, 1, &lowerBound))) lowerBound = 0;
  return lowerBound;
}

bool sameEntries(const std::vector<phonebookentry>& a, const std::vector<phonebookentry>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].cell != b[i].cell || a[i].type != b[i].type || a[i].name != b[i].name) return false;
  return true;
}

}  // namespace

void unregisterReceiveWindowClass() { UnregisterClassW(kWindowClass, gModule); }

// ---- Creation and lifetime ---------------------------------------------------

ReviriControl::ReviriControl()
    : events_(*this),
      embedding_(*static_cast<_Reviri*>(this), [this] { control_.disconnect1(); }) {
  ++gModuleRefs;
}

ReviriControl::~ReviriControl() {
  disarmReceiveWatch();
  if (window_) DestroyWindow(window_);
  if (phonebookRecord_) phonebookRecord_->Release();
  if (typeInfo_) typeInfo_->Release();
  if (typeLib_) typeLib_->Release();
  --gModuleRefs;
}

HRESULT ReviriControl::create(ReviriControl** out) {
  *out = nullptr;
  ReviriControl* object = nullptr;
  try {
    object = new ReviriControl();
  } catch (const std::exception&) {
    return reportCurrentException();
  }
  const HRESULT hr = object->init();
  if (FAILED(hr)) {
    object->Release();
    return hr;
  }
  *out = object;
  return S_OK;
}

HRESULT ReviriControl::init() {
  HRESULT hr = loadOwnTypeLib(&typeLib_);
  if (FAILED(hr)) return hr;
  hr = typeLib_->GetTypeInfoOfGuid(IID__Reviri, &typeInfo_);
  if (FAILED(hr)) return hr;
  hr = phonebookRecordInfo(typeLib_, &phonebookRecord_);
  if (FAILED(hr)) return hr;
  window_ = createReceiveWindow();
  if (!window_) return HRESULT_FROM_WIN32(GetLastError());
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  control_.setEventPump(pumpPendingMessages);
  control_.advise(events_);
  return S_OK;
}

STDMETHODIMP ReviriControl::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID__Reviri ||
      riid == IID__Reviri_v1)
    *out = static_cast<_Reviri*>(this);
  else if (riid == IID_IConnectionPointContainer)
    *out = static_cast<IConnectionPointContainer*>(this);
  else if (riid == IID_IProvideClassInfo || riid == IID_IProvideClassInfo2)
    *out = static_cast<IProvideClassInfo2*>(this);
  else if (riid == IID_ISupportErrorInfo)
    *out = static_cast<ISupportErrorInfo*>(this);
  else
    return embedding_.query(riid, out);
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) ReviriControl::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) ReviriControl::Release() {
  const ULONG left = --refs_;
  if (left == 0) delete this;
  return left;
}

// ---- IDispatch ---------------------------------------------------------------

STDMETHODIMP ReviriControl::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

STDMETHODIMP ReviriControl::GetTypeInfo(UINT index, LCID, ITypeInfo** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  typeInfo_->AddRef();
  *out = typeInfo_;
  return S_OK;
}

STDMETHODIMP ReviriControl::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) {
  return DispGetIDsOfNames(typeInfo_, names, count, ids);
}

STDMETHODIMP ReviriControl::Invoke(DISPID id, REFIID riid, LCID, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                   UINT* argErr) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (id == kDispidReadPhonebook) return invokeReadPhonebook(flags, params, result, excep, argErr);
  SetErrorInfo(0, nullptr);
  return typeInfo_->Invoke(static_cast<_Reviri*>(this), id, flags, params, result, excep, argErr);
}

// readphonebook(ins1 As String, inbook() As phonebookentry) by hand: ins1 is
// any value convertible to a string; inbook is a reference either to an
// array of records or to a Variant (scripting languages), which receives one.
HRESULT ReviriControl::invokeReadPhonebook(WORD flags, DISPPARAMS* params, VARIANT* result,
                                           EXCEPINFO* excep, UINT* argErr) {
  if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
  if (!params) return E_INVALIDARG;
  if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (params->cArgs != 2) return DISP_E_BADPARAMCOUNT;
  // Arguments arrive last first.
  VARIANT* bookArg = &params->rgvarg[0];
  VARIANT* insArg = &params->rgvarg[1];

  VARIANT ins;
  VariantInit(&ins);
  if (FAILED(VariantChangeType(&ins, insArg, 0, VT_BSTR))) {
    if (argErr) *argErr = 1;
    return DISP_E_TYPEMISMATCH;
  }
  ScopedBstr ins1(V_BSTR(&ins));

  // The array the host holds now (of records, or any array a Variant
  // holds), whose lower bound the new one keeps.
  SAFEARRAY* current = nullptr;
  VARIANT* variantTarget = nullptr;
  if (V_VT(bookArg) == (VT_BYREF | VT_ARRAY | VT_RECORD)) {
    current = *V_ARRAYREF(bookArg);
  } else if (V_VT(bookArg) == (VT_BYREF | VT_VARIANT)) {
    variantTarget = V_VARIANTREF(bookArg);
    if (V_VT(variantTarget) & VT_ARRAY)
      current = (V_VT(variantTarget) & VT_BYREF) ? *V_ARRAYREF(variantTarget) : V_ARRAY(variantTarget);
  } else {
    if (argErr) *argErr = 0;
    return DISP_E_TYPEMISMATCH;
  }

  SAFEARRAY* replacement = nullptr;
  HRESULT hr = readPhonebookInto(fromBstr(ins1.get()), current, &replacement);
  if (replacement && variantTarget) {
    VariantClear(variantTarget);
    V_VT(variantTarget) = VT_ARRAY | VT_RECORD;
    V_ARRAY(variantTarget) = replacement;
  } else {
    replaceArray(V_ARRAYREF(bookArg), replacement);
  }
  if (FAILED(hr)) {
    if (excep) {
      *excep = EXCEPINFO{};
      excep->scode = hr;
      IErrorInfo* info = nullptr;
      if (GetErrorInfo(0, &info) == S_OK) {
        info->GetSource(&excep->bstrSource);
        info->GetDescription(&excep->bstrDescription);
        info->Release();
      }
    }
    return DISP_E_EXCEPTION;
  }
  if (result) VariantInit(result);  // an empty Variant
  return S_OK;
}

HRESULT ReviriControl::readPhonebookInto(const std::string& ins1, SAFEARRAY* current,
                                         SAFEARRAY** replacement) {
  *replacement = nullptr;
  return guarded([&] {
    requireReplaceable(current);
    const std::vector<phonebookentry> before = entriesOf(current);
    std::vector<phonebookentry> entries = before;
    control_.readphonebook(ins1, entries);
    if (current ? sameEntries(entries, before) : entries.empty()) return;
    SAFEARRAYBOUND bound{static_cast<ULONG>(entries.size()), lowerBoundOf(current)};
    SAFEARRAY* array = SafeArrayCreateEx(VT_RECORD, 1, &bound, phonebookRecord_);
    if (!array) throw std::bad_alloc();
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) {
      SafeArrayDestroy(array);
      throw std::bad_alloc();
    }
    auto* rows = static_cast<ComPhonebookEntry*>(data);
    try {
      for (std::size_t i = 0; i < entries.size(); ++i) {
        rows[i].cell = toBstr(entries[i].cell);
        rows[i].type = toBstr(entries[i].type);
        rows[i].name = toBstr(entries[i].name);
      }
    } catch (...) {
      SafeArrayUnaccessData(array);
      SafeArrayDestroy(array);
      throw;
    }
    SafeArrayUnaccessData(array);
    *replacement = array;
  });
}

// ---- Member wrappers -------------------------------------------------------

template <typename Fn>
HRESULT ReviriControl::guarded(Fn&& fn) {
  HRESULT hr = S_OK;
  try {
    fn();
  } catch (...) {
    hr = reportCurrentException();
  }
  armReceiveWatch();
  return hr;
}

template <typename Fn>
HRESULT ReviriControl::stringResult(BSTR* result, Fn&& fn) {
  if (!result) return E_POINTER;
  *result = nullptr;
  return guarded([&] { *result = toBstr(fn()); });
}

template <typename Fn>
HRESULT ReviriControl::variantResult(VARIANT* result, Fn&& fn) {
  if (!result) return E_POINTER;
  VariantInit(result);
  return guarded([&] { setVariantString(result, fn()); });
}

template <typename Fn>
HRESULT ReviriControl::boolResult(VARIANT_BOOL* result, Fn&& fn) {
  if (!result) return E_POINTER;
  *result = VARIANT_FALSE;
  return guarded([&] { *result = toVariantBool(fn()); });
}

// ---- Properties --------------------------------------------------------------

#define REVIRI_STRING_PROPERTY(Name)                                               \
  STDMETHODIMP ReviriControl::get_##Name(BSTR* v) {                                \
    return stringResult(v, [&] { return control_.Name(); });                       \
  }                                                                                \
  STDMETHODIMP ReviriControl::put_##Name(BSTR v) {                                 \
    return guarded([&] { control_.set##Name(fromBstr(v)); });                      \
  }
REVIRI_STRING_PROPERTY(FlagCatchwho)
REVIRI_STRING_PROPERTY(SMS_Read_String)
REVIRI_STRING_PROPERTY(SMS_Send_String)
REVIRI_STRING_PROPERTY(LastReadSms_text)
REVIRI_STRING_PROPERTY(LastReadSms_sender)
REVIRI_STRING_PROPERTY(LastSendSms_text)
REVIRI_STRING_PROPERTY(LastSendSms_sender)
#undef REVIRI_STRING_PROPERTY

STDMETHODIMP ReviriControl::get_TimeRe(double* v) {
  if (!v) return E_POINTER;
  *v = control_.TimeRe();
  return S_OK;
}
STDMETHODIMP ReviriControl::put_TimeRe(double v) {
  control_.setTimeRe(v);
  return S_OK;
}
STDMETHODIMP ReviriControl::get_Checkautodel(VARIANT_BOOL* v) {
  if (!v) return E_POINTER;
  *v = toVariantBool(control_.Checkautodel());
  return S_OK;
}
STDMETHODIMP ReviriControl::put_Checkautodel(VARIANT_BOOL v) {
  control_.setCheckautodel(v != VARIANT_FALSE);
  return S_OK;
}

// ---- Methods -----------------------------------------------------------------

STDMETHODIMP ReviriControl::at2(BSTR* ins, BSTR* result) {
  if (!ins) return E_POINTER;
  return stringResult(result, [&] { return control_.at2(fromBstr(*ins)); });
}
STDMETHODIMP ReviriControl::at(BSTR* ins, BSTR* result) {
  if (!ins) return E_POINTER;
  return stringResult(result, [&] { return control_.at(fromBstr(*ins)); });
}
STDMETHODIMP ReviriControl::startlisten(BSTR insmi, BSTR* result) {
  return stringResult(result, [&] { return control_.startlisten(fromBstr(insmi)); });
}
STDMETHODIMP ReviriControl::PostTerminal(BSTR sNewData) {
  return guarded([&] { control_.PostTerminal(fromBstr(sNewData)); });
}
STDMETHODIMP ReviriControl::ReadAllSms(VARIANT* result) {
  if (!result) return E_POINTER;
  VariantInit(result);
  return guarded([&] { control_.ReadAllSms(); });
}

#define REVIRI_SEND_METHOD(Name, ResultKind, wrap)                                     \
  STDMETHODIMP ReviriControl::Name(BSTR cel, BSTR msgc, ResultKind* result) {          \
    return wrap(result, [&] { return control_.Name(fromBstr(cel), fromBstr(msgc)); }); \
  }
REVIRI_SEND_METHOD(gsm7smswrite, VARIANT, variantResult)
REVIRI_SEND_METHOD(gsm7smsflashsubmit, VARIANT, variantResult)
REVIRI_SEND_METHOD(gsm7smssubmit, BSTR, stringResult)
REVIRI_SEND_METHOD(gsm7smssubmit2, VARIANT, variantResult)
REVIRI_SEND_METHOD(UNIsmssubmit, VARIANT, variantResult)
REVIRI_SEND_METHOD(UNIsmssubmit2, VARIANT, variantResult)
REVIRI_SEND_METHOD(UNIsmswrite, BSTR, stringResult)
REVIRI_SEND_METHOD(UNIflashsmssubmit2, VARIANT, variantResult)
REVIRI_SEND_METHOD(UNIflashsmssubmit, VARIANT, variantResult)
#undef REVIRI_SEND_METHOD

STDMETHODIMP ReviriControl::inimodem(short comport, BSTR comsettings, VARIANT_BOOL* result) {
  return boolResult(result, [&] {
    return control_.inimodem(static_cast<std::int16_t>(comport), fromBstr(comsettings));
  });
}
STDMETHODIMP ReviriControl::checkState(VARIANT_BOOL* result) {
  return boolResult(result, [&] { return control_.checkState(); });
}
STDMETHODIMP ReviriControl::disconnect1(VARIANT_BOOL* result) {
  return boolResult(result, [&] { return control_.disconnect1(); });
}

#define REVIRI_QUERY_METHOD(Name)                                    \
  STDMETHODIMP ReviriControl::Name(BSTR* result) {                   \
    return stringResult(result, [&] { return control_.Name(); });    \
  }
REVIRI_QUERY_METHOD(getsq)
REVIRI_QUERY_METHOD(getcharge)
REVIRI_QUERY_METHOD(getsoftid)
REVIRI_QUERY_METHOD(getIMEI)
REVIRI_QUERY_METHOD(getmodelid)
REVIRI_QUERY_METHOD(getmanufacturerid)
REVIRI_QUERY_METHOD(phoneucs2charset)
REVIRI_QUERY_METHOD(phonecharset)
#undef REVIRI_QUERY_METHOD

STDMETHODIMP ReviriControl::selSIM(BSTR ins, BSTR* result) {
  return stringResult(result, [&] { return control_.selSIM(fromBstr(ins)); });
}
STDMETHODIMP ReviriControl::sendSIMother(BSTR ins, BSTR* result) {
  return stringResult(result, [&] { return control_.sendSIMother(fromBstr(ins)); });
}
STDMETHODIMP ReviriControl::delSIM(BSTR ins, BSTR* result) {
  return stringResult(result, [&] { return control_.delSIM(fromBstr(ins)); });
}
STDMETHODIMP ReviriControl::read_insms(BSTR INDEX1, VARIANT_BOOL* result) {
  return boolResult(result, [&] { return control_.read_insms(fromBstr(INDEX1)); });
}
STDMETHODIMP ReviriControl::read_outsms(BSTR INDEX1, VARIANT_BOOL* result) {
  return boolResult(result, [&] { return control_.read_outsms(fromBstr(INDEX1)); });
}
STDMETHODIMP ReviriControl::parsere(BSTR ins, BSTR* result) {
  return stringResult(result, [&] { return control_.parsere(fromBstr(ins)); });
}
STDMETHODIMP ReviriControl::readphonebook(BSTR ins1, SAFEARRAY** inbook, VARIANT* result) {
  if (!inbook || !result) return E_POINTER;
  VariantInit(result);
  SAFEARRAY* replacement = nullptr;
  const HRESULT hr = readPhonebookInto(fromBstr(ins1), *inbook, &replacement);
  replaceArray(inbook, replacement);
  return hr;
}
STDMETHODIMP ReviriControl::selectphonebook(BSTR ins1, VARIANT* result) {
  return variantResult(result, [&] { return control_.selectphonebook(fromBstr(ins1)); });
}
STDMETHODIMP ReviriControl::currentphonebook(VARIANT* result) {
  return variantResult(result, [&] { return control_.currentphonebook(); });
}
STDMETHODIMP ReviriControl::phonebookwrite(BSTR index, BSTR cell, BSTR celltype, BSTR uname,
                                           BSTR* result) {
  return stringResult(result, [&] {
    return control_.phonebookwrite(fromBstr(index), fromBstr(cell), fromBstr(celltype),
                                   fromBstr(uname));
  });
}
STDMETHODIMP ReviriControl::ENCodeunicodestring(BSTR* ins, BSTR* result) {
  if (!ins) return E_POINTER;
  return stringResult(result, [&] {
    std::string text = fromBstr(*ins);
    std::string encoded = control_.ENCodeunicodestring(text);
    BSTR changed = toBstr(text);
    SysFreeString(*ins);
    *ins = changed;
    return encoded;
  });
}

// ---- Connection points, class info, error info ----------------------------

namespace {

// Enumerates the control's one connection point.
class PointEnumerator final : public IEnumConnectionPoints {
 public:
  PointEnumerator(IConnectionPoint* point, ULONG position) : point_(point), position_(position) {
    point_->AddRef();
  }
  ~PointEnumerator() { point_->Release(); }
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (riid != IID_IUnknown && riid != IID_IEnumConnectionPoints) return E_NOINTERFACE;
    *out = static_cast<IEnumConnectionPoints*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (!left) delete this;
    return left;
  }
  STDMETHODIMP Next(ULONG count, IConnectionPoint** points, ULONG* fetched) override {
    if (!points || (count > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    if (count > 0 && position_ == 0) {
      points[0] = point_;
      point_->AddRef();
      n = 1;
      position_ = 1;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    const bool all = position_ + count <= 1;
    position_ = all ? position_ + count : 1;
    return all ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumConnectionPoints** out) override {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) PointEnumerator(point_, position_);
    return *out ? S_OK : E_OUTOFMEMORY;
  }

 private:
  std::atomic<ULONG> refs_{1};
  IConnectionPoint* point_;
  ULONG position_;
};

}  // namespace

STDMETHODIMP ReviriControl::EnumConnectionPoints(IEnumConnectionPoints** out) {
  if (!out) return E_POINTER;
  *out = new (std::nothrow) PointEnumerator(&events_, 0);
  return *out ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP ReviriControl::FindConnectionPoint(REFIID riid, IConnectionPoint** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (riid != DIID___Reviri && riid != DIID___Reviri_v1) return CONNECT_E_NOCONNECTION;
  *out = &events_;
  events_.AddRef();
  return S_OK;
}

STDMETHODIMP ReviriControl::GetClassInfo(ITypeInfo** out) {
  if (!out) return E_POINTER;
  return typeLib_->GetTypeInfoOfGuid(CLSID_Reviri, out);
}

STDMETHODIMP ReviriControl::GetGUID(DWORD kind, GUID* out) {
  if (!out) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *out = GUID_NULL;
    return E_INVALIDARG;
  }
  *out = DIID___Reviri;
  return S_OK;
}

STDMETHODIMP ReviriControl::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID__Reviri || riid == IID__Reviri_v1 || riid == IID_IDispatch ? S_OK : S_FALSE;
}

// ---- Receive path --------------------------------------------------------------

// Watches the serial port once; the wait fires (on a pool thread) when data
// are waiting and posts to our window. It is re-armed only after the data
// have been taken, so a port with data pending never floods the queue.
void ReviriControl::armReceiveWatch() {
  if (wait_ || !window_) return;
  const HANDLE port = control_.serialDescriptor();
  if (!port) return;
  if (reviri::detail::internals(control_).exchange.busy()) return;  // the waiting command takes the data
  if (!RegisterWaitForSingleObject(&wait_, port, dataWaiting, window_, INFINITE,
                                   WT_EXECUTEONLYONCE))
    wait_ = nullptr;
}

void ReviriControl::disarmReceiveWatch() {
  if (!wait_) return;
  UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE);  // waits for a running callback
  wait_ = nullptr;
}

void ReviriControl::onDataArrived() {
  if (wait_) {
    UnregisterWaitEx(wait_, nullptr);  // it fired once and is done
    wait_ = nullptr;
  }
  if (inReceive_ || reviri::detail::internals(control_).exchange.busy()) return;
  inReceive_ = true;
  AddRef();  // an event handler may drop the host's last reference
  try {
    control_.MSComm1_OnComm(2);
  } catch (...) {
    // No caller to report to: a receive event that fails delivers its text
    // again with the next one.
  }
  inReceive_ = false;
  armReceiveWatch();
  Release();
}

// ---- EventConnectionPoint --------------------------------------------------------

EventConnectionPoint::~EventConnectionPoint() {
  for (auto& sink : sinks_) sink.second->Release();
}

STDMETHODIMP EventConnectionPoint::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (riid != IID_IUnknown && riid != IID_IConnectionPoint) return E_NOINTERFACE;
  *out = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}
STDMETHODIMP_(ULONG) EventConnectionPoint::AddRef() { return owner_.AddRef(); }
STDMETHODIMP_(ULONG) EventConnectionPoint::Release() { return owner_.Release(); }

STDMETHODIMP EventConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = DIID___Reviri;
  return S_OK;
}

STDMETHODIMP EventConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  *out = &owner_;
  owner_.AddRef();
  return S_OK;
}

STDMETHODIMP EventConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  *cookie = 0;
  IDispatch* dispatch = nullptr;
  if (FAILED(sink->QueryInterface(DIID___Reviri, reinterpret_cast<void**>(&dispatch))) &&
      FAILED(sink->QueryInterface(DIID___Reviri_v1, reinterpret_cast<void**>(&dispatch))) &&
      FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))))
    return CONNECT_E_CANNOTCONNECT;
  try {
    sinks_.emplace_back(nextCookie_, dispatch);
  } catch (...) {
    dispatch->Release();
    return E_OUTOFMEMORY;
  }
  *cookie = nextCookie_++;
  return S_OK;
}

STDMETHODIMP EventConnectionPoint::Unadvise(DWORD cookie) {
  for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
    if (it->first != cookie) continue;
    IDispatch* sink = it->second;
    sinks_.erase(it);
    sink->Release();
    return S_OK;
  }
  return CONNECT_E_NOCONNECTION;
}

STDMETHODIMP EventConnectionPoint::EnumConnections(IEnumConnections** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return E_NOTIMPL;
}

void EventConnectionPoint::SMSReceived(const std::string& INDEX1, const std::string& cell,
                                       const std::string& msg) {
  fire(kEventSMSReceived, {INDEX1, cell, msg});
}
void EventConnectionPoint::SMSERR(const std::string& errorcode) {
  fire(kEventSMSERR, {errorcode});
}
void EventConnectionPoint::SMSSendOk(const std::string& code) { fire(kEventSMSSendOk, {code}); }

void EventConnectionPoint::fire(DISPID id, const std::vector<std::string>& args) {
  std::vector<VARIANT> values(args.size());
  for (VARIANT& v : values) VariantInit(&v);
  try {
    for (std::size_t i = 0; i < args.size(); ++i) {
      VARIANT& v = values[args.size() - 1 - i];  // Automation passes the last argument first
      V_BSTR(&v) = toBstr(args[i]);
      V_VT(&v) = VT_BSTR;
    }
  } catch (...) {
    for (VARIANT& v : values) VariantClear(&v);
    throw;
  }
  // The sinks of this moment, held, since a handler may unadvise.
  std::vector<IDispatch*> targets;
  targets.reserve(sinks_.size());
  for (auto& sink : sinks_) {
    sink.second->AddRef();
    targets.push_back(sink.second);
  }
  DISPPARAMS params{values.data(), nullptr, static_cast<UINT>(values.size()), 0};
  for (IDispatch* sink : targets) {
    sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                 nullptr);
    sink->Release();
  }
  for (VARIANT& v : values) VariantClear(&v);
}

}  // namespace reviri::com
