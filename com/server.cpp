// com/server.cpp - the in-process server pemlam22.ocx: DllMain, the class
// factory, self-registration and the four exports.
//
// Registration writes the class (ProgID Raruru_VU.Reviri, apartment
// threading, the control's OLE status flags and toolbox bitmap) and registers
// the type library embedded in the module; unregistration removes both.
// DllRegisterServer registers for the machine (HKEY_CLASSES_ROOT, which needs
// administrator rights); DllInstall with the command line "user"
// (regsvr32 /n /i:user, and /u /n /i:user to remove it) registers for the
// current user only, under HKEY_CURRENT_USER\Software\Classes, type library
// and interfaces included, so no administrator is needed.
//
// Threading: the factory is stateless apart from the module reference count,
// which is atomic; objects live in the apartment that created them.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <string>
#include <vector>

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

// Where class registrations live: the machine's merged view, or the current
// user's own classes.
struct ClassesRoot {
  HKEY hive;
  std::wstring prefix;  // prepended to every key
  std::wstring path(const std::wstring& key) const { return prefix + key; }
};
const ClassesRoot kMachineClasses{HKEY_CLASSES_ROOT, L""};
const ClassesRoot kUserClasses{HKEY_CURRENT_USER, L"Software\\Classes\\"};

// Writes `value` as the default (`name` empty) or named string of root\key.
LSTATUS setString(const ClassesRoot& root, const std::wstring& key, const wchar_t* name,
                  const std::wstring& value) {
  HKEY h = nullptr;
  LSTATUS rc = RegCreateKeyExW(root.hive, root.path(key).c_str(), 0, nullptr, 0, KEY_WRITE,
                               nullptr, &h, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(h);
  return rc;
}

std::wstring getString(const ClassesRoot& root, const std::wstring& key) {
  wchar_t buffer[256];
  DWORD size = sizeof buffer;
  if (RegGetValueW(root.hive, root.path(key).c_str(), nullptr, RRF_RT_REG_SZ, nullptr, buffer,
                   &size) != ERROR_SUCCESS)
    return {};
  return buffer;
}

void deleteTree(const ClassesRoot& root, const std::wstring& key) {
  RegDeleteTreeW(root.hive, root.path(key).c_str());
}

bool hasSubkeys(const ClassesRoot& root, const std::wstring& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(root.hive, root.path(key).c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
    return false;
  DWORD subkeys = 0;
  const LSTATUS rc = RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(h);
  return rc == ERROR_SUCCESS && subkeys > 0;
}

HRESULT registerClass(const ClassesRoot& root, const std::wstring& path) {
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
    const LSTATUS rc = setString(root, e.key, e.name, e.value);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  }
  return S_OK;
}

void unregisterClass(const ClassesRoot& root) {
  deleteTree(root, L"CLSID\\" + guidText(CLSID_Reviri));
  // The ProgID may belong to another build by now; remove it only if it is ours.
  if (getString(root, std::wstring(kProgId) + L"\\CLSID") == guidText(CLSID_Reviri))
    deleteTree(root, kProgId);
}

#ifdef _WIN64
constexpr SYSKIND kSysKind = SYS_WIN64;
constexpr wchar_t kPlatformKey[] = L"win64";
constexpr wchar_t kOtherPlatformKey[] = L"win32";
#else
constexpr SYSKIND kSysKind = SYS_WIN32;
constexpr wchar_t kPlatformKey[] = L"win32";
constexpr wchar_t kOtherPlatformKey[] = L"win64";
#endif

std::wstring typeLibVersionKey() {
  return L"TypeLib\\" + guidText(LIBID_Raruru_VU) + L"\\" + std::to_wstring(kTypeLibMajor) + L"." +
         std::to_wstring(kTypeLibMinor);
}

std::wstring typeLibPlatformKey(const wchar_t* platform) {
  std::wstring lcid;  // in hexadecimal, as RegisterTypeLib writes it
  for (LCID n = kTypeLibLcid; n || lcid.empty(); n /= 16) lcid.insert(0, 1, L"0123456789abcdef"[n % 16]);
  return typeLibVersionKey() + L"\\" + lcid + L"\\" + platform;
}

// The Automation marshalers: the type-library marshaler for dual and
// oleautomation interfaces, the dispatch marshaler for dispinterfaces.
constexpr wchar_t kTypeLibMarshaler[] = L"{00020424-0000-0000-C000-000000000046}";
constexpr wchar_t kDispatchMarshaler[] = L"{00020420-0000-0000-C000-000000000046}";

struct InterfaceEntry {
  std::wstring iid;
  std::wstring name;
  const wchar_t* marshaler;
};

// The interfaces of the type library that Automation marshals, as
// RegisterTypeLib would register them.
std::vector<InterfaceEntry> marshaledInterfaces(ITypeLib* lib) {
  std::vector<InterfaceEntry> out;
  for (UINT i = 0, n = lib->GetTypeInfoCount(); i < n; ++i) {
    ITypeInfo* info = nullptr;
    if (FAILED(lib->GetTypeInfo(i, &info))) continue;
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attr))) {
      const bool dispatch = attr->typekind == TKIND_DISPATCH;
      const bool automation = attr->typekind == TKIND_INTERFACE &&
                              (attr->wTypeFlags & (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL));
      if (dispatch || automation) {
        BSTR name = nullptr;
        lib->GetDocumentation(static_cast<INT>(i), &name, nullptr, nullptr, nullptr);
        const bool dual = attr->wTypeFlags & TYPEFLAG_FDUAL;
        out.push_back({guidText(attr->guid), name ? name : L"",
                       dispatch && !dual ? kDispatchMarshaler : kTypeLibMarshaler});
        SysFreeString(name);
      }
      info->ReleaseTypeAttr(attr);
    }
    info->Release();
  }
  return out;
}

std::wstring folderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The keys RegisterTypeLib writes, under the user's classes.
HRESULT registerTypeLibForUser(ITypeLib* lib, const std::wstring& path) {
  TLIBATTR* attr = nullptr;
  HRESULT hr = lib->GetLibAttr(&attr);
  if (FAILED(hr)) return hr;
  const std::wstring flags = std::to_wstring(attr->wLibFlags);
  lib->ReleaseTLibAttr(attr);
  BSTR help = nullptr;
  lib->GetDocumentation(-1, nullptr, &help, nullptr, nullptr);
  const std::wstring title = help ? help : L"";
  SysFreeString(help);
  const std::wstring version = std::to_wstring(kTypeLibMajor) + L"." + std::to_wstring(kTypeLibMinor);
  const std::wstring libid = guidText(LIBID_Raruru_VU);
  struct Entry {
    std::wstring key;
    const wchar_t* name;
    std::wstring value;
  };
  std::vector<Entry> entries = {
      {typeLibVersionKey(), nullptr, title},
      {typeLibVersionKey() + L"\\FLAGS", nullptr, flags},
      {typeLibVersionKey() + L"\\HELPDIR", nullptr, folderOf(path)},
      {typeLibPlatformKey(kPlatformKey), nullptr, path},
  };
  for (const InterfaceEntry& i : marshaledInterfaces(lib)) {
    const std::wstring key = L"Interface\\" + i.iid;
    entries.push_back({key, nullptr, i.name});
    entries.push_back({key + L"\\ProxyStubClsid", nullptr, i.marshaler});
    entries.push_back({key + L"\\ProxyStubClsid32", nullptr, i.marshaler});
    entries.push_back({key + L"\\TypeLib", nullptr, libid});
    entries.push_back({key + L"\\TypeLib", L"Version", version});
  }
  for (const Entry& e : entries) {
    const LSTATUS rc = setString(kUserClasses, e.key, e.name, e.value);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  }
  return S_OK;
}

// Removes this build's type library registration for the user; the
// interfaces and the version key go with the last build (32- or 64-bit)
// that was registered.
void unregisterTypeLibForUser(ITypeLib* lib) {
  deleteTree(kUserClasses, typeLibPlatformKey(kPlatformKey));
  if (!getString(kUserClasses, typeLibPlatformKey(kOtherPlatformKey)).empty()) return;
  const std::wstring libid = guidText(LIBID_Raruru_VU);
  if (lib) {
    for (const InterfaceEntry& i : marshaledInterfaces(lib)) {
      const std::wstring key = L"Interface\\" + i.iid;
      if (getString(kUserClasses, key + L"\\TypeLib") == libid) deleteTree(kUserClasses, key);
    }
  }
  deleteTree(kUserClasses, typeLibVersionKey());
  if (!hasSubkeys(kUserClasses, L"TypeLib\\" + libid))
    deleteTree(kUserClasses, L"TypeLib\\" + libid);
}

// The per-user class goes only if it names this module, and the ProgID
// (shared by the 32- and 64-bit registrations) with the last build.
void unregisterClassForUser() {
  const std::wstring clsid = L"CLSID\\" + guidText(CLSID_Reviri);
  const std::wstring server = getString(kUserClasses, clsid + L"\\InprocServer32");
  if (server.empty() || lstrcmpiW(server.c_str(), modulePath().c_str()) == 0)
    deleteTree(kUserClasses, clsid);
  const bool otherBuild = !getString(kUserClasses, typeLibPlatformKey(kOtherPlatformKey)).empty();
  if (!otherBuild && getString(kUserClasses, std::wstring(kProgId) + L"\\CLSID") == guidText(CLSID_Reviri))
    deleteTree(kUserClasses, kProgId);
}

HRESULT registerForUser() {
  const std::wstring path = modulePath();
  if (path.empty()) return SELFREG_E_CLASS;
  ITypeLib* lib = nullptr;
  if (FAILED(loadOwnTypeLib(&lib))) return SELFREG_E_TYPELIB;
  HRESULT hr = registerTypeLibForUser(lib, path);
  if (SUCCEEDED(hr) && FAILED(registerClass(kUserClasses, path))) hr = SELFREG_E_CLASS;
  else if (FAILED(hr)) hr = SELFREG_E_TYPELIB;
  if (FAILED(hr)) {
    unregisterClassForUser();
    unregisterTypeLibForUser(lib);
  }
  lib->Release();
  return hr;
}

HRESULT unregisterForUser() {
  unregisterClassForUser();
  ITypeLib* lib = nullptr;
  loadOwnTypeLib(&lib);
  unregisterTypeLibForUser(lib);
  if (lib) lib->Release();
  return S_OK;
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
  if (FAILED(registerClass(kMachineClasses, path))) {
    unregisterClass(kMachineClasses);
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

STDAPI DllUnregisterServer() {
  unregisterClass(kMachineClasses);
  const HRESULT hr = UnRegisterTypeLib(LIBID_Raruru_VU, kTypeLibMajor, kTypeLibMinor,
                                       kTypeLibLcid, kSysKind);
  // Already gone counts as done.
  if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_LIBNOTREGISTERED) return hr;
  return S_OK;
}

// regsvr32 /n /i:user installs for the current user, /u /n /i:user removes
// that; an empty command line (or "machine") means the machine-wide
// registration of DllRegisterServer.
STDAPI DllInstall(BOOL install, LPCWSTR commandLine) {
  const std::wstring scope = commandLine ? commandLine : L"";
  if (lstrcmpiW(scope.c_str(), L"user") == 0)
    return install ? registerForUser() : unregisterForUser();
  if (scope.empty() || lstrcmpiW(scope.c_str(), L"machine") == 0)
    return install ? DllRegisterServer() : DllUnregisterServer();
  return E_INVALIDARG;
}
