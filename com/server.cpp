// com/server.cpp - the in-process server pemlam22.ocx: DllMain, the class
// factory, self-registration and the four exports.
//
// Registration writes the class (ProgID Raruru_VU.Reviri, apartment
// threading, the control's OLE status flags and toolbox bitmap) and registers
// the type library embedded in the module; unregistration removes both.
//
// Threading: the factory is stateless apart from the module reference count,
// which is atomic; objects live in the apartment that created them.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <string>

// This file defines the control's GUIDs from the type library's header.
#include <initguid.h>
#include "com/reviri_control.h"
#include "com/resources.h"

namespace reviri::com {

std::atomic<long> gModuleRefs{0};
HINSTANCE gModule = nullptr;

namespace {

constexpr wchar_t kProgId[] = L"Raruru_VU.Reviri";
constexpr wchar_t kClassName[] = L"Reviri";
constexpr int kToolboxBitmapId = REVIRI_TOOLBOX_BITMAP;
constexpr WORD kTypeLibMajor = 1;
constexpr WORD kTypeLibMinor = 1;
constexpr LCID kTypeLibLcid = 0x0409;

std::wstring modulePath() {
  std::wstring path(MAX_PATH, L'\0');
  while (true) {
    const DWORD n = GetModuleFileNameW(gModule, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring guidText(REFGUID guid) {
  wchar_t buffer[40];
  StringFromGUID2(guid, buffer, 40);
  return buffer;
}

// Writes `value` as the default (`name` empty) or named string of HKCR\key.
LSTATUS setString(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY h = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                               &h, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(h);
  return rc;
}

std::wstring getString(const std::wstring& key) {
  wchar_t buffer[256];
  DWORD size = sizeof buffer;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, buffer,
                   &size) != ERROR_SUCCESS)
    return {};
  return buffer;
}

HRESULT registerClass(const std::wstring& path) {
  const std::wstring clsid = L"CLSID\\" + guidText(CLSID_Reviri);
  const std::wstring progId = kProgId;
  const struct {
    std::wstring key;
    const wchar_t* name;
    std::wstring value;
  } entries[] = {
      {clsid, nullptr, kClassName},
      {clsid + L"\\InprocServer32", nullptr, path},
      {clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {clsid + L"\\ProgID", nullptr, progId},
      {clsid + L"\\Control", nullptr, L""},
      {clsid + L"\\MiscStatus", nullptr, L"0"},
      {clsid + L"\\MiscStatus\\1", nullptr, std::to_wstring(kControlMiscStatus)},
      {clsid + L"\\ToolboxBitmap32", nullptr, path + L", " + std::to_wstring(kToolboxBitmapId)},
      {clsid + L"\\TypeLib", nullptr, guidText(LIBID_Raruru_VU)},
      {clsid + L"\\Version", nullptr,
       std::to_wstring(kTypeLibMajor) + L"." + std::to_wstring(kTypeLibMinor)},
      {progId, nullptr, progId},
      {progId + L"\\CLSID", nullptr, guidText(CLSID_Reviri)},
  };
  for (const auto& e : entries) {
    const LSTATUS rc = setString(e.key, e.name, e.value);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  }
  return S_OK;
}

void unregisterClass() {
  RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + guidText(CLSID_Reviri)).c_str());
  // The ProgID may belong to another build by now; remove it only if it is ours.
  if (getString(std::wstring(kProgId) + L"\\CLSID") == guidText(CLSID_Reviri))
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kProgId);
}

class ClassFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  // The factory is static; it counts towards the module while referenced.
  STDMETHODIMP_(ULONG) AddRef() override {
    ++gModuleRefs;
    return 2;
  }
  STDMETHODIMP_(ULONG) Release() override {
    --gModuleRefs;
    return 1;
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    ReviriControl* object = nullptr;
    const HRESULT hr = ReviriControl::create(&object);
    if (FAILED(hr)) return hr;
    const HRESULT qi = object->QueryInterface(riid, out);
    object->Release();
    return qi;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      ++gModuleRefs;
    else
      --gModuleRefs;
    return S_OK;
  }
};

ClassFactory gFactory;

}  // namespace

HRESULT loadOwnTypeLib(ITypeLib** out) {
  const std::wstring path = modulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  return LoadTypeLibEx(path.c_str(), REGKIND_NONE, out);
}

}  // namespace reviri::com

using namespace reviri::com;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    gModule = instance;
    DisableThreadLibraryCalls(instance);
  }
  // Unloaded by FreeLibrary (not at process exit): the window class would
  // otherwise outlive the code of its window procedure.
  if (reason == DLL_PROCESS_DETACH && !reserved) {
    unregisterReceiveWindowClass();
    unregisterFaceWindowClass();
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != CLSID_Reviri) return CLASS_E_CLASSNOTAVAILABLE;
  return gFactory.QueryInterface(riid, out);
}

STDAPI DllCanUnloadNow() { return gModuleRefs == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
  const std::wstring path = modulePath();
  if (path.empty()) return SELFREG_E_CLASS;
  ITypeLib* lib = nullptr;
  HRESULT hr = loadOwnTypeLib(&lib);
  if (FAILED(hr)) return SELFREG_E_TYPELIB;
  std::wstring mutablePath = path;  // RegisterTypeLib takes a non-const string
  hr = RegisterTypeLib(lib, mutablePath.data(), nullptr);
  lib->Release();
  if (FAILED(hr)) return SELFREG_E_TYPELIB;
  if (FAILED(registerClass(path))) {
    unregisterClass();
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

STDAPI DllUnregisterServer() {
  unregisterClass();
#ifdef _WIN64
  const SYSKIND kind = SYS_WIN64;
#else
  const SYSKIND kind = SYS_WIN32;
#endif
  const HRESULT hr = UnRegisterTypeLib(LIBID_Raruru_VU, kTypeLibMajor, kTypeLibMinor,
                                       kTypeLibLcid, kind);
  // Already gone counts as done.
  if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_LIBNOTREGISTERED) return hr;
  return S_OK;
}
