// tests/com/wine/vbshost.cpp - a small Active Scripting host for VBScript.
//
// Runs one .vbs file with the system's VBScript engine and offers it an
// object named WScript with Echo, Sleep (which pumps messages, so events are
// delivered), CreateObject(progId, prefix) and ConnectObject(object, prefix).
// Events bind the way the Windows Script Host binds them: the object's
// default source interface is found through IProvideClassInfo, and event E
// calls the script's Sub prefix & E. Some script hosts (Wine's cscript among
// them) cannot bind events at all, which is why this host exists.
//
// Prints script errors with their line and exits 1 after one; otherwise 0.
//
// Threading: one single-threaded apartment.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <initguid.h>
#include <activscp.h>

namespace {

// {B54F3741-5B07-11cf-A4B0-00AA004A55E8}
DEFINE_GUID(CLSID_VBScriptEngine, 0xb54f3741, 0x5b07, 0x11cf, 0xa4, 0xb0, 0x00, 0xaa, 0x00, 0x4a,
            0x55, 0xe8);

int scriptErrors = 0;
IActiveScript* engine = nullptr;

std::string narrow(const wchar_t* w) {
  if (!w) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
  return s;
}

std::wstring wide(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// A minimal IDispatch base with reference counting.
class DispatchBase : public IDispatch {
 public:
  virtual ~DispatchBase() = default;
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (!left) delete this;
    return left;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }

 private:
  ULONG refs_ = 1;
};

// Forwards the events of one object to the script's Subs prefix_Event.
class EventBinder final : public DispatchBase {
 public:
  EventBinder(ITypeInfo* source, std::wstring prefix) : source_(source), prefix_(std::move(prefix)) {
    source_->AddRef();
  }
  ~EventBinder() override { source_->Release(); }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID lcid, WORD, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO*, UINT*) override {
    BSTR name = nullptr;
    UINT count = 0;
    if (FAILED(source_->GetNames(id, &name, 1, &count)) || count == 0) return S_OK;
    std::wstring handler = prefix_ + name;
    SysFreeString(name);
    IDispatch* script = nullptr;
    if (FAILED(engine->GetScriptDispatch(nullptr, &script))) return S_OK;
    LPOLESTR names[] = {handler.data()};
    DISPID target = 0;
    if (SUCCEEDED(script->GetIDsOfNames(IID_NULL, names, 1, lcid, &target))) {
      EXCEPINFO excep{};
      script->Invoke(target, IID_NULL, lcid, DISPATCH_METHOD, params, result, &excep, nullptr);
    }
    script->Release();
    return S_OK;
  }

 private:
  ITypeInfo* source_;
  std::wstring prefix_;
};

// Connects `object`'s default source interface to the script's Subs.
HRESULT connectEvents(IDispatch* object, const std::wstring& prefix) {
  IProvideClassInfo* provider = nullptr;
  HRESULT hr = object->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&provider));
  if (FAILED(hr)) return hr;
  ITypeInfo* coclass = nullptr;
  hr = provider->GetClassInfo(&coclass);
  provider->Release();
  if (FAILED(hr)) return hr;
  TYPEATTR* attr = nullptr;
  coclass->GetTypeAttr(&attr);
  ITypeInfo* source = nullptr;
  for (UINT i = 0; attr && i < attr->cImplTypes && !source; ++i) {
    INT flags = 0;
    coclass->GetImplTypeFlags(i, &flags);
    if ((flags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) !=
        (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE))
      continue;
    HREFTYPE ref = 0;
    if (SUCCEEDED(coclass->GetRefTypeOfImplType(i, &ref))) coclass->GetRefTypeInfo(ref, &source);
  }
  if (attr) coclass->ReleaseTypeAttr(attr);
  coclass->Release();
  if (!source) return E_NOINTERFACE;
  TYPEATTR* sourceAttr = nullptr;
  source->GetTypeAttr(&sourceAttr);
  const IID iid = sourceAttr->guid;
  source->ReleaseTypeAttr(sourceAttr);

  IConnectionPointContainer* container = nullptr;
  hr = object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  IConnectionPoint* point = nullptr;
  if (SUCCEEDED(hr)) {
    hr = container->FindConnectionPoint(iid, &point);
    container->Release();
  }
  if (SUCCEEDED(hr)) {
    auto* binder = new EventBinder(source, prefix);
    DWORD cookie = 0;
    hr = point->Advise(binder, &cookie);  // the connection lives as long as the object
    binder->Release();
    point->Release();
  }
  source->Release();
  return hr;
}

std::wstring argText(VARIANT* v) {
  VARIANT s;
  VariantInit(&s);
  if (FAILED(VariantChangeType(&s, v, 0, VT_BSTR))) return {};
  std::wstring out = V_BSTR(&s) ? V_BSTR(&s) : L"";
  VariantClear(&s);
  return out;
}

// The WScript object offered to scripts.
class HostObject final : public DispatchBase {
 public:
  enum : DISPID { kEcho = 1, kSleep, kCreateObject, kConnectObject };

  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    static const struct { const wchar_t* name; DISPID id; } kMembers[] = {
        {L"Echo", kEcho}, {L"Sleep", kSleep}, {L"CreateObject", kCreateObject},
        {L"ConnectObject", kConnectObject}};
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      for (const auto& m : kMembers)
        if (_wcsicmp(names[i], m.name) == 0) ids[i] = m.id;
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }

  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    auto arg = [&](UINT i) { return &p->rgvarg[p->cArgs - 1 - i]; };
    switch (id) {
      case kEcho: {
        std::string line;
        for (UINT i = 0; i < p->cArgs; ++i) line += (i ? " " : "") + narrow(argText(arg(i)).c_str());
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        return S_OK;
      }
      case kSleep: {
        if (p->cArgs != 1) return DISP_E_BADPARAMCOUNT;
        const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(_wtoi(argText(arg(0)).c_str()));
        for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
          MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
          MSG msg;
          while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
          }
        }
        return S_OK;
      }
      case kCreateObject: {
        if (p->cArgs < 1) return DISP_E_BADPARAMCOUNT;
        CLSID clsid;
        HRESULT hr = CLSIDFromProgID(argText(arg(0)).c_str(), &clsid);
        if (FAILED(hr)) return hr;
        IDispatch* object = nullptr;
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&object));
        if (FAILED(hr)) return hr;
        if (p->cArgs >= 2) {
          hr = connectEvents(object, argText(arg(1)));
          if (FAILED(hr)) {
            object->Release();
            return hr;
          }
        }
        if (result) {
          VariantInit(result);
          V_VT(result) = VT_DISPATCH;
          V_DISPATCH(result) = object;
        } else {
          object->Release();
        }
        return S_OK;
      }
      case kConnectObject: {
        if (p->cArgs != 2) return DISP_E_BADPARAMCOUNT;
        VARIANT* o = arg(0);
        if (V_VT(o) == (VT_BYREF | VT_VARIANT)) o = V_VARIANTREF(o);
        if (V_VT(o) != VT_DISPATCH || !V_DISPATCH(o)) return DISP_E_TYPEMISMATCH;
        return connectEvents(V_DISPATCH(o), argText(arg(1)));
      }
    }
    return DISP_E_MEMBERNOTFOUND;
  }
};

class Site final : public IActiveScriptSite {
 public:
  explicit Site(HostObject* host) : host_(host) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IActiveScriptSite) {
      *out = static_cast<IActiveScriptSite*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetLCID(LCID*) override { return E_NOTIMPL; }
  STDMETHODIMP GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** unknown, ITypeInfo** info) override {
    if (_wcsicmp(name, L"WScript") != 0) return TYPE_E_ELEMENTNOTFOUND;
    if (info) *info = nullptr;
    if (mask & SCRIPTINFO_IUNKNOWN) {
      host_->AddRef();
      *unknown = static_cast<IDispatch*>(host_);
    }
    return S_OK;
  }
  STDMETHODIMP GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
  STDMETHODIMP OnStateChange(SCRIPTSTATE) override { return S_OK; }
  STDMETHODIMP OnScriptError(IActiveScriptError* error) override {
    EXCEPINFO excep{};
    error->GetExceptionInfo(&excep);
    DWORD context = 0;
    ULONG line = 0;
    LONG column = 0;
    error->GetSourcePosition(&context, &line, &column);
    std::printf("script error, line %lu: %s (0x%08lx)\n", line + 1,
                narrow(excep.bstrDescription).c_str(), static_cast<unsigned long>(excep.scode));
    std::fflush(stdout);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrHelpFile);
    ++scriptErrors;
    return S_OK;
  }
  STDMETHODIMP OnEnterScript() override { return S_OK; }
  STDMETHODIMP OnLeaveScript() override { return S_OK; }

 private:
  HostObject* host_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vbshost script.vbs\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "vbshost: cannot read %s\n", narrow(argv[1]).c_str());
    return 2;
  }
  std::stringstream text;
  text << file.rdbuf();
  const std::wstring code = wide(text.str());

  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  HRESULT hr = CoCreateInstance(CLSID_VBScriptEngine, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IActiveScript, reinterpret_cast<void**>(&engine));
  if (FAILED(hr)) {
    std::fprintf(stderr, "vbshost: no VBScript engine (0x%08lx)\n", static_cast<unsigned long>(hr));
    return 2;
  }
  IActiveScriptParse* parse = nullptr;
  engine->QueryInterface(IID_IActiveScriptParse, reinterpret_cast<void**>(&parse));
  auto* host = new HostObject();
  Site site(host);
  engine->SetScriptSite(&site);
  parse->InitNew();
  engine->AddNamedItem(L"WScript", SCRIPTITEM_ISVISIBLE | SCRIPTITEM_NOCODE);
  EXCEPINFO excep{};
  hr = parse->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0, SCRIPTTEXT_ISVISIBLE,
                              nullptr, &excep);
  if (SUCCEEDED(hr)) engine->SetScriptState(SCRIPTSTATE_CONNECTED);
  engine->Close();
  parse->Release();
  engine->Release();
  host->Release();
  CoUninitialize();
  return FAILED(hr) || scriptErrors ? 1 : 0;
}
