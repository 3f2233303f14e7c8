// com/embedding.cpp - the OLE embedding interfaces of the Reviri control.
#include "com/embedding.h"

#include "Raruru_VU.h"
#include "com/reviri_control.h"
#include "com/resources.h"

namespace reviri::com {
namespace {

constexpr wchar_t kFaceWindowClass[] = L"ReviriControlFace";
constexpr wchar_t kObjectName[] = L"Reviri";
// The face image is 480 twips square inside the control's 500.
constexpr int kFaceTwips = 480;
constexpr int kControlTwips = 500;
constexpr LONG kHimetricPerInch = 2540;

HICON faceIcon() {
  // Shared: the system keeps one copy for the module and frees it with it.
  return static_cast<HICON>(LoadImageW(gModule, MAKEINTRESOURCEW(REVIRI_FACE_ICON), IMAGE_ICON,
                                       32, 32, LR_SHARED));
}

LRESULT CALLBACK faceWindowProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT client;
      GetClientRect(hwnd, &client);
      ControlEmbedding::paintFace(dc, client);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_PRINTCLIENT: {
      RECT client;
      GetClientRect(hwnd, &client);
      ControlEmbedding::paintFace(reinterpret_cast<HDC>(wp), client);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT covers the whole window
    default:
      return DefWindowProcW(hwnd, message, wp, lp);
  }
}

bool registerFaceWindowClass() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = faceWindowProc;
  wc.hInstance = gModule;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = kFaceWindowClass;
  return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

template <typename T>
void releaseAndClear(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

}  // namespace

void unregisterFaceWindowClass() { UnregisterClassW(kFaceWindowClass, gModule); }

ControlEmbedding::ControlEmbedding(IUnknown& outer, std::function<void()> closePort)
    : outer_(outer), closePort_(std::move(closePort)) {}

ControlEmbedding::~ControlEmbedding() {
  if (window_) DestroyWindow(window_);
  releaseInPlaceContext();
  releaseAndClear(inPlaceSite_);
  releaseAndClear(clientSite_);
  releaseAndClear(adviseHolder_);
  releaseAndClear(viewSink_);
}

HRESULT ControlEmbedding::query(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (riid == IID_IOleObject)
    *out = static_cast<IOleObject*>(this);
  else if (riid == IID_IOleInPlaceObject || riid == IID_IOleWindow)
    *out = static_cast<IOleInPlaceObject*>(this);
  else if (riid == IID_IOleInPlaceActiveObject)
    *out = static_cast<IOleInPlaceActiveObject*>(this);
  else if (riid == IID_IOleControl)
    *out = static_cast<IOleControl*>(this);
  else if (riid == IID_IViewObject || riid == IID_IViewObject2)
    *out = static_cast<IViewObject2*>(this);
  else if (riid == IID_IPersistStreamInit || riid == IID_IPersist)
    *out = static_cast<IPersistStreamInit*>(this);
  else if (riid == IID_IPersistPropertyBag)
    *out = static_cast<IPersistPropertyBag*>(this);
  else if (riid == IID_IPersistStorage)
    *out = static_cast<IPersistStorage*>(this);
  else
    return E_NOINTERFACE;
  outer_.AddRef();
  return S_OK;
}

STDMETHODIMP ControlEmbedding::QueryInterface(REFIID riid, void** out) {
  return outer_.QueryInterface(riid, out);
}
STDMETHODIMP_(ULONG) ControlEmbedding::AddRef() { return outer_.AddRef(); }
STDMETHODIMP_(ULONG) ControlEmbedding::Release() { return outer_.Release(); }

// ---- The face ------------------------------------------------------------------

void ControlEmbedding::paintFace(HDC dc, const RECT& bounds) {
  FillRect(dc, &bounds, GetSysColorBrush(COLOR_WINDOW));
  const int width = MulDiv(bounds.right - bounds.left, kFaceTwips, kControlTwips);
  const int height = MulDiv(bounds.bottom - bounds.top, kFaceTwips, kControlTwips);
  if (HICON icon = faceIcon())
    DrawIconEx(dc, bounds.left, bounds.top, icon, width, height, 0, nullptr, DI_NORMAL);
}

SIZE ControlEmbedding::sizeInPixels() const {
  HDC screen = GetDC(nullptr);
  const int dpiX = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
  const int dpiY = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ReleaseDC(nullptr, screen);
  return {MulDiv(kControlSizeHimetric, dpiX, kHimetricPerInch),
          MulDiv(kControlSizeHimetric, dpiY, kHimetricPerInch)};
}

// ---- IOleObject ------------------------------------------------------------------

STDMETHODIMP ControlEmbedding::SetClientSite(IOleClientSite* site) {
  if (site) site->AddRef();
  releaseAndClear(clientSite_);
  clientSite_ = site;
  return S_OK;
}

STDMETHODIMP ControlEmbedding::GetClientSite(IOleClientSite** site) {
  if (!site) return E_POINTER;
  *site = clientSite_;
  if (clientSite_) clientSite_->AddRef();
  return S_OK;
}

STDMETHODIMP ControlEmbedding::SetHostNames(LPCOLESTR, LPCOLESTR) { return S_OK; }

// Nothing is ever unsaved, so every save option closes at once. Closing the
// object also closes the serial port, as destroying it does: a container that
// closes the control but keeps a reference must not keep the port busy.
STDMETHODIMP ControlEmbedding::Close(DWORD) {
  InPlaceDeactivate();
  if (adviseHolder_) adviseHolder_->SendOnClose();
  try {
    closePort_();
  } catch (...) {
    // Closing a port never reports anything (disconnect1).
  }
  return S_OK;
}

STDMETHODIMP ControlEmbedding::SetMoniker(DWORD, IMoniker*) { return E_NOTIMPL; }

STDMETHODIMP ControlEmbedding::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
  if (moniker) *moniker = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ControlEmbedding::InitFromData(IDataObject*, BOOL, DWORD) { return E_NOTIMPL; }

STDMETHODIMP ControlEmbedding::GetClipboardData(DWORD, IDataObject** data) {
  if (data) *data = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ControlEmbedding::DoVerb(LONG verb, LPMSG, IOleClientSite* activeSite, LONG,
                                      HWND parent, LPCRECT posRect) {
  IOleClientSite* site = activeSite ? activeSite : clientSite_;
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_INPLACEACTIVATE: {
      const HRESULT hr = inPlaceActivate(site, parent, posRect);
      if (SUCCEEDED(hr) && window_) ShowWindow(window_, SW_SHOWNA);
      return hr;
    }
    case OLEIVERB_UIACTIVATE: {
      const HRESULT hr = inPlaceActivate(site, parent, posRect);
      if (FAILED(hr)) return hr;
      ShowWindow(window_, SW_SHOWNA);
      return uiActivate();
    }
    case OLEIVERB_HIDE:
      UIDeactivate();
      if (window_) ShowWindow(window_, SW_HIDE);
      return S_OK;
    default:
      // OPEN, PROPERTIES, DISCARDUNDOSTATE: no separate window, no pages.
      if (verb < 0) return E_NOTIMPL;
      // An unknown positive verb acts as the primary one.
      const HRESULT hr = inPlaceActivate(site, parent, posRect);
      if (FAILED(hr)) return hr;
      ShowWindow(window_, SW_SHOWNA);
      return OLEOBJ_S_INVALIDVERB;
  }
}

STDMETHODIMP ControlEmbedding::EnumVerbs(IEnumOLEVERB** verbs) {
  if (verbs) *verbs = nullptr;
  return OLE_S_USEREG;
}

STDMETHODIMP ControlEmbedding::Update() { return S_OK; }
STDMETHODIMP ControlEmbedding::IsUpToDate() { return S_OK; }

STDMETHODIMP ControlEmbedding::GetUserClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = CLSID_Reviri;
  return S_OK;
}

STDMETHODIMP ControlEmbedding::GetUserType(DWORD, LPOLESTR* name) {
  if (name) *name = nullptr;
  return OLE_S_USEREG;
}

// The control keeps its size: the request is accepted and the extent stays
// 500 by 500 twips; containers read it back with GetExtent.
STDMETHODIMP ControlEmbedding::SetExtent(DWORD aspect, SIZEL* size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!size) return E_INVALIDARG;
  return S_OK;
}

STDMETHODIMP ControlEmbedding::GetExtent(DWORD aspect, SIZEL* size) {
  if (!size) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  *size = {kControlSizeHimetric, kControlSizeHimetric};
  return S_OK;
}

STDMETHODIMP ControlEmbedding::Advise(IAdviseSink* sink, DWORD* cookie) {
  if (!adviseHolder_) {
    const HRESULT hr = CreateOleAdviseHolder(&adviseHolder_);
    if (FAILED(hr)) return hr;
  }
  return adviseHolder_->Advise(sink, cookie);
}

STDMETHODIMP ControlEmbedding::Unadvise(DWORD cookie) {
  if (!adviseHolder_) return OLE_E_NOCONNECTION;
  return adviseHolder_->Unadvise(cookie);
}

STDMETHODIMP ControlEmbedding::EnumAdvise(IEnumSTATDATA** advise) {
  if (!advise) return E_POINTER;
  *advise = nullptr;
  if (!adviseHolder_) return S_OK;  // no connections
  return adviseHolder_->EnumAdvise(advise);
}

STDMETHODIMP ControlEmbedding::GetMiscStatus(DWORD aspect, DWORD* status) {
  if (!status) return E_POINTER;
  *status = aspect == DVASPECT_CONTENT ? kControlMiscStatus : 0;
  return S_OK;
}

STDMETHODIMP ControlEmbedding::SetColorScheme(LOGPALETTE*) { return E_NOTIMPL; }

// ---- In-place activation ----------------------------------------------------------

HRESULT ControlEmbedding::inPlaceActivate(IOleClientSite* site, HWND parent, LPCRECT posRect) {
  if (window_) return S_OK;
  if (!site) return E_UNEXPECTED;
  IOleInPlaceSite* inPlace = nullptr;
  if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&inPlace))))
    return E_NOINTERFACE;
  if (inPlace->CanInPlaceActivate() != S_OK) {
    inPlace->Release();
    return E_FAIL;
  }
  HRESULT hr = inPlace->OnInPlaceActivate();
  if (FAILED(hr)) {
    inPlace->Release();
    return hr;
  }
  inPlaceSite_ = inPlace;

  HWND container = nullptr;
  if (FAILED(inPlace->GetWindow(&container)) || !container) container = parent;
  RECT pos = posRect ? *posRect : RECT{};
  RECT clip = pos;
  OLEINPLACEFRAMEINFO frameInfo{};
  frameInfo.cb = sizeof frameInfo;
  // The container's rectangles count; DoVerb's is the fallback.
  if (FAILED(inPlace->GetWindowContext(&frame_, &uiWindow_, &pos, &clip, &frameInfo))) {
    frame_ = nullptr;
    uiWindow_ = nullptr;
  }
  static const bool registered = registerFaceWindowClass();
  const SIZE size = sizeInPixels();
  if (registered && container)
    window_ = CreateWindowExW(0, kFaceWindowClass, L"", WS_CHILD | WS_CLIPSIBLINGS, pos.left,
                              pos.top, size.cx, size.cy, container, nullptr, gModule, nullptr);
  if (!window_) {
    hr = container ? HRESULT_FROM_WIN32(GetLastError()) : E_UNEXPECTED;
    if (SUCCEEDED(hr)) hr = E_FAIL;
    releaseInPlaceContext();
    inPlaceSite_ = nullptr;
    inPlace->OnInPlaceDeactivate();
    inPlace->Release();
    return hr;
  }
  placeWindow(pos, clip);
  // Tell the container when its rectangle is not the control's size.
  if (pos.right - pos.left != size.cx || pos.bottom - pos.top != size.cy) {
    const RECT fixed{pos.left, pos.top, pos.left + size.cx, pos.top + size.cy};
    inPlace->OnPosRectChange(&fixed);
  }
  return S_OK;
}

HRESULT ControlEmbedding::uiActivate() {
  if (!window_ || !inPlaceSite_) return E_UNEXPECTED;
  if (!uiActive_) {
    uiActive_ = true;
    inPlaceSite_->OnUIActivate();
    auto* active = static_cast<IOleInPlaceActiveObject*>(this);
    if (frame_) {
      frame_->SetActiveObject(active, kObjectName);
      frame_->SetBorderSpace(nullptr);
    }
    if (uiWindow_) {
      uiWindow_->SetActiveObject(active, kObjectName);
      uiWindow_->SetBorderSpace(nullptr);
    }
  }
  SetFocus(window_);
  return S_OK;
}

void ControlEmbedding::placeWindow(const RECT& posRect, const RECT& clipRect) {
  const SIZE size = sizeInPixels();
  const RECT placed{posRect.left, posRect.top, posRect.left + size.cx, posRect.top + size.cy};
  SetWindowPos(window_, nullptr, placed.left, placed.top, size.cx, size.cy,
               SWP_NOZORDER | SWP_NOACTIVATE);
  RECT visible;
  if (!IntersectRect(&visible, &placed, &clipRect)) visible = RECT{};
  if (EqualRect(&visible, &placed)) {
    SetWindowRgn(window_, nullptr, TRUE);
    return;
  }
  // Show only the part inside the container's clip rectangle.
  HRGN region = CreateRectRgn(visible.left - placed.left, visible.top - placed.top,
                              visible.right - placed.left, visible.bottom - placed.top);
  if (region && !SetWindowRgn(window_, region, TRUE)) DeleteObject(region);
}

void ControlEmbedding::releaseInPlaceContext() {
  releaseAndClear(frame_);
  releaseAndClear(uiWindow_);
}

STDMETHODIMP ControlEmbedding::GetWindow(HWND* window) {
  if (!window) return E_POINTER;
  *window = window_;
  return window_ ? S_OK : E_FAIL;
}

STDMETHODIMP ControlEmbedding::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

STDMETHODIMP ControlEmbedding::InPlaceDeactivate() {
  if (!inPlaceSite_) return S_OK;
  UIDeactivate();
  if (window_) DestroyWindow(window_);
  window_ = nullptr;
  releaseInPlaceContext();
  IOleInPlaceSite* site = inPlaceSite_;
  inPlaceSite_ = nullptr;
  site->OnInPlaceDeactivate();
  site->Release();
  return S_OK;
}

STDMETHODIMP ControlEmbedding::UIDeactivate() {
  if (!uiActive_) return S_OK;
  uiActive_ = false;
  if (uiWindow_) uiWindow_->SetActiveObject(nullptr, nullptr);
  if (frame_) frame_->SetActiveObject(nullptr, nullptr);
  if (inPlaceSite_) inPlaceSite_->OnUIDeactivate(FALSE);
  return S_OK;
}

STDMETHODIMP ControlEmbedding::SetObjectRects(LPCRECT posRect, LPCRECT clipRect) {
  if (!posRect) return E_INVALIDARG;
  if (!window_) return E_UNEXPECTED;
  placeWindow(*posRect, clipRect ? *clipRect : *posRect);
  return S_OK;
}

STDMETHODIMP ControlEmbedding::ReactivateAndUndo() { return INPLACE_E_NOTUNDOABLE; }

STDMETHODIMP ControlEmbedding::TranslateAccelerator(LPMSG) { return S_FALSE; }
STDMETHODIMP ControlEmbedding::OnFrameWindowActivate(BOOL) { return S_OK; }
STDMETHODIMP ControlEmbedding::OnDocWindowActivate(BOOL) { return S_OK; }
STDMETHODIMP ControlEmbedding::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return S_OK; }
STDMETHODIMP ControlEmbedding::EnableModeless(BOOL) { return S_OK; }

// ---- IOleControl ---------------------------------------------------------------------

STDMETHODIMP ControlEmbedding::GetControlInfo(CONTROLINFO* info) {
  if (!info) return E_POINTER;
  info->cb = sizeof *info;
  info->hAccel = nullptr;  // no mnemonics
  info->cAccel = 0;
  info->dwFlags = 0;
  return S_OK;
}

STDMETHODIMP ControlEmbedding::OnMnemonic(MSG*) { return E_NOTIMPL; }

STDMETHODIMP ControlEmbedding::OnAmbientPropertyChange(DISPID) {
  // The face uses the system's window colour, not the container's ambients;
  // repaint anyway, a colour scheme change comes this way too.
  if (window_) InvalidateRect(window_, nullptr, FALSE);
  return S_OK;
}

// The container drops the events it receives while frozen; the control has
// nothing to hold back (its events come from the modem, not from loading).
STDMETHODIMP ControlEmbedding::FreezeEvents(BOOL) { return S_OK; }

// ---- IViewObject2 -----------------------------------------------------------------------

STDMETHODIMP ControlEmbedding::Draw(DWORD aspect, LONG index, void*, DVTARGETDEVICE*, HDC, HDC dc,
                                    LPCRECTL bounds, LPCRECTL,
                                    BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (index != -1) return DV_E_LINDEX;
  if (!dc || !bounds) return E_INVALIDARG;
  paintFace(dc, RECT{bounds->left, bounds->top, bounds->right, bounds->bottom});
  return S_OK;
}

STDMETHODIMP ControlEmbedding::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC,
                                           LOGPALETTE** colors) {
  if (colors) *colors = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ControlEmbedding::Freeze(DWORD, LONG, void*, DWORD*) { return E_NOTIMPL; }
STDMETHODIMP ControlEmbedding::Unfreeze(DWORD) { return E_NOTIMPL; }

STDMETHODIMP ControlEmbedding::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
  if (sink) sink->AddRef();
  releaseAndClear(viewSink_);
  viewSink_ = sink;
  viewAspects_ = aspects;
  viewFlags_ = flags;
  if (sink && (flags & ADVF_PRIMEFIRST)) sink->OnViewChange(DVASPECT_CONTENT, -1);
  return S_OK;
}

STDMETHODIMP ControlEmbedding::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
  if (aspects) *aspects = viewAspects_;
  if (flags) *flags = viewFlags_;
  if (sink) {
    *sink = viewSink_;
    if (viewSink_) viewSink_->AddRef();
  }
  return S_OK;
}

STDMETHODIMP ControlEmbedding::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
  return GetExtent(aspect, size);
}

// ---- Persistence: the control saves no properties ------------------------------------

STDMETHODIMP ControlEmbedding::GetClassID(CLSID* clsid) { return GetUserClassID(clsid); }
STDMETHODIMP ControlEmbedding::IsDirty() { return S_FALSE; }
STDMETHODIMP ControlEmbedding::InitNew() { return S_OK; }
STDMETHODIMP ControlEmbedding::Load(LPSTREAM stream) { return stream ? S_OK : E_POINTER; }
STDMETHODIMP ControlEmbedding::Save(LPSTREAM stream, BOOL) { return stream ? S_OK : E_POINTER; }

STDMETHODIMP ControlEmbedding::GetSizeMax(ULARGE_INTEGER* size) {
  if (!size) return E_POINTER;
  size->QuadPart = 0;
  return S_OK;
}

STDMETHODIMP ControlEmbedding::Load(IPropertyBag* bag, IErrorLog*) { return bag ? S_OK : E_POINTER; }
STDMETHODIMP ControlEmbedding::Save(IPropertyBag* bag, BOOL, BOOL) { return bag ? S_OK : E_POINTER; }

STDMETHODIMP ControlEmbedding::InitNew(IStorage* storage) { return storage ? S_OK : E_POINTER; }
STDMETHODIMP ControlEmbedding::Load(IStorage* storage) { return storage ? S_OK : E_POINTER; }
STDMETHODIMP ControlEmbedding::Save(IStorage* storage, BOOL) { return storage ? S_OK : E_POINTER; }
STDMETHODIMP ControlEmbedding::SaveCompleted(IStorage*) { return S_OK; }
STDMETHODIMP ControlEmbedding::HandsOffStorage() { return S_OK; }

}  // namespace reviri::com
