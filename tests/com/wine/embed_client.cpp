// tests/com/wine/embed_client.cpp - places the registered control the way a
// form host does: the OLE embedding interfaces, a container site of its own
// (IOleClientSite, IOleInPlaceSite and an IOleInPlaceFrame on a top-level
// window), drawing, persistence and closing. Prints one line per check and
// "N passed, N failed"; the exit code is the failure count.
//
// Threading: one single-threaded apartment.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
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

std::string hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
  return text;
}

std::string sizeText(const SIZEL& s) { return std::to_string(s.cx) + "x" + std::to_string(s.cy); }

bool has(const std::vector<std::string>& log, const std::string& entry) {
  return std::find(log.begin(), log.end(), entry) != log.end();
}

// A container site: client site, in-place site, frame and advise sink in
// one object, recording what the control calls.
class Site final : public IOleClientSite,
                   public IOleInPlaceSite,
                   public IOleInPlaceFrame,
                   public IAdviseSink {
 public:
  explicit Site(HWND window) : window_(window) {}
  std::vector<std::string> log;
  RECT pos{10, 20, 310, 220};
  RECT clip{0, 0, 2000, 2000};
  RECT lastPosChange{};
  IOleInPlaceActiveObject* active = nullptr;
  ULONG refs() const { return refs_; }

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IOleClientSite)
      *out = static_cast<IOleClientSite*>(this);
    else if (riid == IID_IOleInPlaceSite || riid == IID_IOleWindow)
      *out = static_cast<IOleInPlaceSite*>(this);
    else if (riid == IID_IOleInPlaceFrame || riid == IID_IOleInPlaceUIWindow)
      *out = static_cast<IOleInPlaceFrame*>(this);
    else if (riid == IID_IAdviseSink)
      *out = static_cast<IAdviseSink*>(this);
    else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }

  // IOleClientSite
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** m) override { *m = nullptr; return E_NOTIMPL; }
  STDMETHODIMP GetContainer(IOleContainer** c) override { *c = nullptr; return E_NOINTERFACE; }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
  // IOleWindow
  STDMETHODIMP GetWindow(HWND* w) override { *w = window_; return S_OK; }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  // IOleInPlaceSite
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override { log.push_back("OnInPlaceActivate"); return S_OK; }
  STDMETHODIMP OnUIActivate() override { log.push_back("OnUIActivate"); return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT p,
                                LPRECT c, LPOLEINPLACEFRAMEINFO info) override {
    *frame = static_cast<IOleInPlaceFrame*>(this);
    AddRef();
    *doc = nullptr;
    *p = pos;
    *c = clip;
    info->fMDIApp = FALSE;
    info->hwndFrame = window_;
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { log.push_back("OnUIDeactivate"); return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override { log.push_back("OnInPlaceDeactivate"); return S_OK; }
  STDMETHODIMP DiscardUndoState() override { return S_OK; }
  STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
  STDMETHODIMP OnPosRectChange(LPCRECT r) override {
    log.push_back("OnPosRectChange");
    lastPosChange = *r;
    return S_OK;
  }
  // IOleInPlaceUIWindow, IOleInPlaceFrame
  STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* object, LPCOLESTR) override {
    if (object) object->AddRef();
    if (active) active->Release();
    active = object;
    log.push_back(object ? "SetActiveObject" : "SetActiveObject(null)");
    return S_OK;
  }
  STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
  STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
  STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }
  // IAdviseSink
  STDMETHODIMP_(void) OnDataChange(FORMATETC*, STGMEDIUM*) override {}
  STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override { log.push_back("OnViewChange"); }
  STDMETHODIMP_(void) OnRename(IMoniker*) override {}
  STDMETHODIMP_(void) OnSave() override {}
  STDMETHODIMP_(void) OnClose() override { log.push_back("OnClose"); }

 private:
  HWND window_;
  ULONG refs_ = 1;
};

// A property bag that counts what the control reads and writes.
class Bag final : public IPropertyBag {
 public:
  int reads = 0;
  int writes = 0;
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IPropertyBag) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Read(LPCOLESTR, VARIANT*, IErrorLog*) override { ++reads; return E_INVALIDARG; }
  STDMETHODIMP Write(LPCOLESTR, VARIANT*) override { ++writes; return S_OK; }
};

template <typename T>
T* as(IUnknown* object, REFIID riid) {
  T* p = nullptr;
  object->QueryInterface(riid, reinterpret_cast<void**>(&p));
  return p;
}

// Identity: every interface leads back to the same IUnknown.
void checkInterfaces(IUnknown* control) {
  const struct {
    const IID* iid;
    const char* name;
  } interfaces[] = {
      {&IID_IOleObject, "IOleObject"},
      {&IID_IOleInPlaceObject, "IOleInPlaceObject"},
      {&IID_IOleWindow, "IOleWindow"},
      {&IID_IOleInPlaceActiveObject, "IOleInPlaceActiveObject"},
      {&IID_IOleControl, "IOleControl"},
      {&IID_IViewObject, "IViewObject"},
      {&IID_IViewObject2, "IViewObject2"},
      {&IID_IPersist, "IPersist"},
      {&IID_IPersistStreamInit, "IPersistStreamInit"},
      {&IID_IPersistPropertyBag, "IPersistPropertyBag"},
      {&IID_IPersistStorage, "IPersistStorage"},
  };
  for (const auto& i : interfaces) {
    IUnknown* p = as<IUnknown>(control, *i.iid);
    IUnknown* identity = p ? as<IUnknown>(p, IID_IUnknown) : nullptr;
    _Reviri* back = p ? as<_Reviri>(p, IID__Reviri) : nullptr;
    check(p && identity == control && back, std::string("QueryInterface ") + i.name +
                                                 " (same object, leads back to _Reviri)");
    if (back) back->Release();
    if (identity) identity->Release();
    if (p) p->Release();
  }
}

void checkExtent(IOleObject* ole, IViewObject2* view) {
  DWORD status = 0;
  check(ole->GetMiscStatus(DVASPECT_CONTENT, &status) == S_OK && status == 0x20191,
        "GetMiscStatus(DVASPECT_CONTENT) = 0x20191", hex(static_cast<HRESULT>(status)));
  CLSID clsid{};
  check(ole->GetUserClassID(&clsid) == S_OK && clsid == CLSID_Reviri, "GetUserClassID");

  const SIZEL asked[] = {{882, 882}, {5000, 2000}, {100, 100}, {0, 0}, {882, 1764}};
  for (SIZEL size : asked) {
    const HRESULT set = ole->SetExtent(DVASPECT_CONTENT, &size);
    SIZEL got{}, viewGot{};
    const HRESULT get = ole->GetExtent(DVASPECT_CONTENT, &got);
    view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &viewGot);
    check(SUCCEEDED(set) && get == S_OK && got.cx == 882 && got.cy == 882 && viewGot.cx == 882 &&
              viewGot.cy == 882,
          "SetExtent(" + sizeText(size) + ") keeps 882x882 HIMETRIC",
          sizeText(got) + " / " + sizeText(viewGot));
  }
  SIZEL size{1000, 1000};
  check(ole->SetExtent(DVASPECT_ICON, &size) == DV_E_DVASPECT, "SetExtent of another aspect is refused");
}

void checkPersistence(IUnknown* control, _Reviri* dual) {
  auto* stream = as<IPersistStreamInit>(control, IID_IPersistStreamInit);
  auto* bagPersist = as<IPersistPropertyBag>(control, IID_IPersistPropertyBag);
  auto* storagePersist = as<IPersistStorage>(control, IID_IPersistStorage);
  if (!stream || !bagPersist || !storagePersist) return;
  CLSID clsid{};
  check(stream->GetClassID(&clsid) == S_OK && clsid == CLSID_Reviri, "IPersist::GetClassID");

  // A property set before loading is neither saved nor reset: the control
  // stores nothing, and InitNew and Load set nothing.
  dual->put_TimeRe(1234);
  check(stream->InitNew() == S_OK, "IPersistStreamInit::InitNew");
  check(stream->IsDirty() == S_FALSE, "IsDirty is S_FALSE after a property change");
  IStream* data = nullptr;
  CreateStreamOnHGlobal(nullptr, TRUE, &data);
  HRESULT hr = stream->Save(data, TRUE);
  STATSTG stat{};
  data->Stat(&stat, STATFLAG_NONAME);
  check(hr == S_OK && stat.cbSize.QuadPart == 0, "Save writes nothing to the stream",
        std::to_string(stat.cbSize.QuadPart) + " bytes");
  ULARGE_INTEGER max{};
  max.QuadPart = 99;
  check(stream->GetSizeMax(&max) == S_OK && max.QuadPart == 0, "GetSizeMax is 0");
  const LARGE_INTEGER zero{};
  data->Seek(zero, STREAM_SEEK_SET, nullptr);
  hr = stream->Load(data);
  double timeRe = 0;
  dual->get_TimeRe(&timeRe);
  check(hr == S_OK && timeRe == 1234, "Load reads nothing and changes no property",
        std::to_string(timeRe));
  data->Release();

  Bag bag;
  check(bagPersist->InitNew() == S_OK && bagPersist->Load(&bag, nullptr) == S_OK &&
            bagPersist->Save(&bag, TRUE, TRUE) == S_OK && bag.writes == 0 && bag.reads == 0,
        "IPersistPropertyBag: Load and Save touch no property",
        std::to_string(bag.reads) + " reads, " + std::to_string(bag.writes) + " writes");

  IStorage* storage = nullptr;
  StgCreateDocfile(nullptr, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_DELETEONRELEASE,
                   0, &storage);
  check(storage && storagePersist->InitNew(storage) == S_OK &&
            OleSave(storagePersist, storage, TRUE) == S_OK &&
            storagePersist->SaveCompleted(nullptr) == S_OK && storagePersist->IsDirty() == S_FALSE,
        "IPersistStorage: InitNew, OleSave, SaveCompleted");
  if (storage) {
    CLSID saved{};
    ReadClassStg(storage, &saved);
    check(saved == CLSID_Reviri, "OleSave records the control's class in the storage");
    storage->Release();
  }
  dual->put_TimeRe(900000);
  storagePersist->Release();
  bagPersist->Release();
  stream->Release();
}

void checkControl(IOleControl* control) {
  CONTROLINFO info{};
  info.cb = sizeof info;
  info.cAccel = 7;
  check(control->GetControlInfo(&info) == S_OK && info.cAccel == 0 && info.hAccel == nullptr,
        "GetControlInfo: no mnemonics");
  check(control->OnAmbientPropertyChange(DISPID_AMBIENT_BACKCOLOR) == S_OK &&
            control->FreezeEvents(TRUE) == S_OK && control->FreezeEvents(FALSE) == S_OK,
        "OnAmbientPropertyChange, FreezeEvents");
}

// A 32-bit top-down bitmap selected into a memory DC, filled with one colour.
struct Canvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ old = nullptr;
  DWORD* bits = nullptr;
  int size = 0;
  Canvas(int n, DWORD fill) : size(n) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = n;
    bi.bmiHeader.biHeight = -n;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    dc = CreateCompatibleDC(nullptr);
    bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
    old = SelectObject(dc, bitmap);
    std::fill(bits, bits + n * n, fill);
  }
  ~Canvas() {
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
  DWORD at(int x, int y) const {
    GdiFlush();
    return bits[y * size + x] & 0xffffff;
  }
};

constexpr DWORD kMagenta = 0xff00ff;

DWORD windowColour() {  // as a DIB pixel (0xRRGGBB)
  const COLORREF c = GetSysColor(COLOR_WINDOW);
  return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
}

// Pixels of the icon area that are neither the canvas fill nor the background.
int iconPixels(const Canvas& canvas, const RECT& area) {
  int count = 0;
  for (int y = area.top; y < area.bottom; ++y)
    for (int x = area.left; x < area.right; ++x) {
      const DWORD p = canvas.at(x, y);
      if (p != kMagenta && p != windowColour()) ++count;
    }
  return count;
}

void checkDraw(IViewObject2* view, Site& sink) {
  Canvas canvas(64, kMagenta);
  const RECTL bounds{4, 4, 54, 54};  // 50 pixels: the icon takes 48 of them
  const HRESULT hr = view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, canvas.dc, &bounds,
                                nullptr, nullptr, 0);
  check(hr == S_OK, "IViewObject2::Draw into a memory DC", hex(hr));
  const int drawn = iconPixels(canvas, RECT{4, 4, 52, 52});
  check(drawn > 300, "the icon is drawn in its area", std::to_string(drawn) + " pixels");
  bool inside = true;
  for (int y = 4; y < 54; ++y)
    for (int x = 4; x < 54; ++x) inside = inside && canvas.at(x, y) != kMagenta;
  check(inside && canvas.at(53, 30) == windowColour() && canvas.at(5, 5) == windowColour(),
        "the whole rectangle is painted, outside the icon in the window colour");
  check(canvas.at(2, 2) == kMagenta && canvas.at(54, 54) == kMagenta && canvas.at(60, 10) == kMagenta,
        "nothing is drawn outside the rectangle");
  check(view->Draw(DVASPECT_ICON, -1, nullptr, nullptr, nullptr, canvas.dc, &bounds, nullptr,
                   nullptr, 0) == DV_E_DVASPECT,
        "Draw of another aspect is refused");

  sink.log.clear();
  IAdviseSink* adviseSink = static_cast<IAdviseSink*>(&sink);
  view->SetAdvise(DVASPECT_CONTENT, ADVF_PRIMEFIRST, adviseSink);
  DWORD aspects = 0, flags = 0;
  IAdviseSink* got = nullptr;
  view->GetAdvise(&aspects, &flags, &got);
  check(got == adviseSink && aspects == DVASPECT_CONTENT && flags == ADVF_PRIMEFIRST &&
            has(sink.log, "OnViewChange"),
        "SetAdvise / GetAdvise (ADVF_PRIMEFIRST reports at once)");
  if (got) got->Release();
  view->SetAdvise(DVASPECT_CONTENT, 0, nullptr);
}

LRESULT CALLBACK containerProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
  return DefWindowProcW(hwnd, message, wp, lp);
}

HWND createContainerWindow() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = containerProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"ReviriTestForm";
  RegisterClassExW(&wc);
  return CreateWindowExW(0, L"ReviriTestForm", L"form", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0,
                         640, 480, nullptr, nullptr, wc.hInstance, nullptr);
}

SIZE expectedPixels() {
  HDC screen = GetDC(nullptr);
  const SIZE s{MulDiv(882, GetDeviceCaps(screen, LOGPIXELSX), 2540),
               MulDiv(882, GetDeviceCaps(screen, LOGPIXELSY), 2540)};
  ReleaseDC(nullptr, screen);
  return s;
}

// Its own visibility (the form itself is never shown).
bool shown(HWND window) { return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0; }

// The child window's rectangle in its parent's client coordinates.
RECT placement(HWND child) {
  RECT r{};
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::string rectText(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
         std::to_string(r.bottom);
}

void checkInPlace(IOleObject* ole, IOleInPlaceObject* inPlace, Site& site, HWND form) {
  check(ole->SetClientSite(&site) == S_OK, "SetClientSite");
  IOleClientSite* got = nullptr;
  check(ole->GetClientSite(&got) == S_OK && got == &site, "GetClientSite returns the site");
  if (got) got->Release();
  DWORD cookie = 0;
  check(ole->Advise(&site, &cookie) == S_OK && cookie != 0, "IOleObject::Advise");

  const SIZE px = expectedPixels();
  site.log.clear();
  HRESULT hr = ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, form, &site.pos);
  HWND window = nullptr;
  inPlace->GetWindow(&window);
  check(hr == S_OK && window && GetParent(window) == form && has(site.log, "OnInPlaceActivate"),
        "DoVerb(INPLACEACTIVATE) makes a child window in the form", hex(hr));
  if (!window) return;
  const RECT want{10, 20, 10 + px.cx, 20 + px.cy};
  RECT placed = placement(window);
  check(EqualRect(&placed, &want) && shown(window), "the window keeps the control's size",
        rectText(placed) + " for " + rectText(site.pos));
  check(has(site.log, "OnPosRectChange") && EqualRect(&site.lastPosChange, &want),
        "the site learns the control's rectangle", rectText(site.lastPosChange));

  const RECT moved{50, 60, 450, 460};
  const RECT clip{0, 0, 640, 480};
  check(inPlace->SetObjectRects(&moved, &clip) == S_OK, "SetObjectRects");
  placed = placement(window);
  const RECT wantMoved{50, 60, 50 + px.cx, 60 + px.cy};
  check(EqualRect(&placed, &wantMoved), "SetObjectRects moves the window, size unchanged",
        rectText(placed));

  // The window paints the face (asked to print into a memory DC).
  Canvas canvas(64, kMagenta);
  SendMessageW(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(canvas.dc), PRF_CLIENT);
  const int drawn = iconPixels(canvas, RECT{0, 0, 32, 32});
  check(drawn > 100 && canvas.at(px.cx - 1, px.cy - 1) == windowColour(),
        "the window shows the icon at its top-left", std::to_string(drawn) + " pixels");

  site.log.clear();
  hr = ole->DoVerb(OLEIVERB_UIACTIVATE, nullptr, &site, 0, form, &site.pos);
  check(hr == S_OK && has(site.log, "OnUIActivate") && site.active != nullptr,
        "DoVerb(UIACTIVATE): OnUIActivate and the frame's active object", hex(hr));
  hr = ole->DoVerb(OLEIVERB_HIDE, nullptr, &site, 0, form, &site.pos);
  check(hr == S_OK && !shown(window) && has(site.log, "OnUIDeactivate") && !site.active,
        "DoVerb(HIDE) hides the window and leaves UI activation");
  hr = ole->DoVerb(OLEIVERB_SHOW, nullptr, &site, 0, form, &site.pos);
  check(hr == S_OK && shown(window), "DoVerb(SHOW) shows it again");
  check(ole->DoVerb(OLEIVERB_OPEN, nullptr, &site, 0, form, &site.pos) == E_NOTIMPL,
        "DoVerb(OPEN) is not offered");

  site.log.clear();
  check(inPlace->InPlaceDeactivate() == S_OK && !IsWindow(window) &&
            has(site.log, "OnInPlaceDeactivate"),
        "InPlaceDeactivate destroys the window");
  HWND none = reinterpret_cast<HWND>(1);
  check(inPlace->GetWindow(&none) == E_FAIL && none == nullptr, "no window once deactivated");

  // Close: deactivates, tells the advise sinks, and closes the serial port.
  ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, form, &site.pos);
  inPlace->GetWindow(&window);
  site.log.clear();
  check(ole->Close(OLECLOSE_NOSAVE) == S_OK && !IsWindow(window) && has(site.log, "OnInPlaceDeactivate") &&
            has(site.log, "OnClose"),
        "Close deactivates and sends OnClose");
  check(ole->Unadvise(cookie) == S_OK, "IOleObject::Unadvise");
  ole->SetClientSite(nullptr);
}

// Opens COM1 (the simulated modem), closes the object, and asks again.
void checkCloseClosesPort(IOleObject* ole, _Reviri* dual) {
  BSTR settings = SysAllocString(L"19200,n,8,1");
  VARIANT_BOOL opened = VARIANT_FALSE;
  dual->inimodem(1, settings, &opened);
  SysFreeString(settings);
  BSTR command = SysAllocString(L"AT\r");
  BSTR before = nullptr, after = nullptr;
  dual->at(&command, &before);
  ole->Close(OLECLOSE_SAVEIFDIRTY);
  dual->at(&command, &after);
  check(opened == VARIANT_TRUE && before && std::wstring(before).find(L"OK") != std::wstring::npos &&
            after && std::wstring(after) == L"-1",
        "Close closes the serial port");
  SysFreeString(before);
  SysFreeString(after);
  SysFreeString(command);
}

IUnknown* createControl() {
  IUnknown* control = nullptr;
  const HRESULT hr = CoCreateInstance(CLSID_Reviri, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                      reinterpret_cast<void**>(&control));
  check(hr == S_OK && control, "CoCreateInstance", hex(hr));
  return control;
}

}  // namespace

int main() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 100;
  IUnknown* control = createControl();
  if (!control) return 1;
  auto* ole = as<IOleObject>(control, IID_IOleObject);
  auto* inPlace = as<IOleInPlaceObject>(control, IID_IOleInPlaceObject);
  auto* view = as<IViewObject2>(control, IID_IViewObject2);
  auto* oleControl = as<IOleControl>(control, IID_IOleControl);
  auto* dual = as<_Reviri>(control, IID__Reviri);
  checkInterfaces(control);
  HWND form = createContainerWindow();
  char error[16];
  std::snprintf(error, sizeof error, "%lu", GetLastError());
  check(form != nullptr, "a top-level window for the container", form ? "" : error);
  Site site(form);
  if (ole && inPlace && view && oleControl && dual) {
    checkExtent(ole, view);
    checkPersistence(control, dual);
    checkControl(oleControl);
    checkDraw(view, site);
    if (form) checkInPlace(ole, inPlace, site, form);
    checkCloseClosesPort(ole, dual);
  }
  for (IUnknown* p : std::initializer_list<IUnknown*>{ole, inPlace, view, oleControl, dual})
    if (p) p->Release();
  control->Release();
  check(site.refs() == 1, "the control released the site", std::to_string(site.refs()));

  // Released while in place: the object takes its window and site with it.
  if (form && (control = createControl())) {
    ole = as<IOleObject>(control, IID_IOleObject);
    inPlace = as<IOleInPlaceObject>(control, IID_IOleInPlaceObject);
    ole->SetClientSite(&site);
    ole->DoVerb(OLEIVERB_UIACTIVATE, nullptr, &site, 0, form, &site.pos);
    HWND window = nullptr;
    inPlace->GetWindow(&window);
    if (site.active) site.active->Release(), site.active = nullptr;
    inPlace->Release();
    ole->Release();
    control->Release();
    check(window && !IsWindow(window) && site.refs() == 1,
          "releasing an active control destroys its window and releases the site",
          std::to_string(site.refs()));
  }
  if (form) DestroyWindow(form);
  CoUninitialize();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed;
}
