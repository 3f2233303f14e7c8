// com/embedding.h - what lets a form host (VB6, VBA UserForms, MFC and ATL
// containers) place the Reviri control on a form: the OLE embedding
// interfaces.
//
// The control shows one face, the 32 by 32 icon at its top-left corner on
// the window-background colour, and keeps a fixed size of 500 by 500 twips
// (882 by 882 HIMETRIC) whatever size the container asks for. It saves no
// properties: the persistence interfaces accept every stream, storage and
// property bag and store nothing, so each instance starts from its defaults.
// In-place activation creates a child window in the container's window;
// IOleObject::Close deactivates, tells the advise sinks and closes the
// serial port.
//
// ControlEmbedding lives inside the COM object and shares its identity: its
// IUnknown forwards to the object's, and the object's QueryInterface hands
// these interfaces out through query().
//
// Threading: apartment-threaded, like the object; every call comes on the
// thread that created it.
#ifndef REVIRI_COM_EMBEDDING_H_
#define REVIRI_COM_EMBEDDING_H_

#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include <functional>

namespace reviri::com {

// The control's fixed size: 500 twips are 500 * 2540 / 1440 = 881.9 HIMETRIC.
inline constexpr LONG kControlSizeHimetric = 882;
// OLEMISC_RECOMPOSEONRESIZE | CANTLINKINSIDE | INSIDEOUT | ACTIVATEWHENVISIBLE |
// SETCLIENTSITEFIRST.
inline constexpr DWORD kControlMiscStatus = 0x20191;

// Removes the window class of the control's face (when the module unloads).
void unregisterFaceWindowClass();

class ControlEmbedding final : public IOleObject,
                               public IOleInPlaceObject,
                               public IOleInPlaceActiveObject,
                               public IOleControl,
                               public IViewObject2,
                               public IPersistStreamInit,
                               public IPersistPropertyBag,
                               public IPersistStorage {
 public:
  // `outer` is the object's controlling IUnknown; `closePort` closes the
  // serial port (IOleObject::Close).
  ControlEmbedding(IUnknown& outer, std::function<void()> closePort);
  ~ControlEmbedding();
  ControlEmbedding(const ControlEmbedding&) = delete;
  ControlEmbedding& operator=(const ControlEmbedding&) = delete;

  // Hands out one of the embedding interfaces (AddRef'd), or E_NOINTERFACE.
  HRESULT query(REFIID riid, void** out);

  // IUnknown: the object's.
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IOleObject
  STDMETHODIMP SetClientSite(IOleClientSite* site) override;
  STDMETHODIMP GetClientSite(IOleClientSite** site) override;
  STDMETHODIMP SetHostNames(LPCOLESTR app, LPCOLESTR object) override;
  STDMETHODIMP Close(DWORD saveOption) override;
  STDMETHODIMP SetMoniker(DWORD which, IMoniker* moniker) override;
  STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
  STDMETHODIMP InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
  STDMETHODIMP GetClipboardData(DWORD reserved, IDataObject** data) override;
  STDMETHODIMP DoVerb(LONG verb, LPMSG msg, IOleClientSite* activeSite, LONG index,
                      HWND parent, LPCRECT posRect) override;
  STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
  STDMETHODIMP Update() override;
  STDMETHODIMP IsUpToDate() override;
  STDMETHODIMP GetUserClassID(CLSID* clsid) override;
  STDMETHODIMP GetUserType(DWORD form, LPOLESTR* name) override;
  STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumAdvise(IEnumSTATDATA** advise) override;
  STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
  STDMETHODIMP SetColorScheme(LOGPALETTE* palette) override;

  // IOleWindow (of IOleInPlaceObject and IOleInPlaceActiveObject)
  STDMETHODIMP GetWindow(HWND* window) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL enterMode) override;
  // IOleInPlaceObject
  STDMETHODIMP InPlaceDeactivate() override;
  STDMETHODIMP UIDeactivate() override;
  STDMETHODIMP SetObjectRects(LPCRECT posRect, LPCRECT clipRect) override;
  STDMETHODIMP ReactivateAndUndo() override;
  // IOleInPlaceActiveObject
  STDMETHODIMP TranslateAccelerator(LPMSG msg) override;
  STDMETHODIMP OnFrameWindowActivate(BOOL activate) override;
  STDMETHODIMP OnDocWindowActivate(BOOL activate) override;
  STDMETHODIMP ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window, BOOL frame) override;
  STDMETHODIMP EnableModeless(BOOL enable) override;

  // IOleControl
  STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
  STDMETHODIMP OnMnemonic(MSG* msg) override;
  STDMETHODIMP OnAmbientPropertyChange(DISPID id) override;
  STDMETHODIMP FreezeEvents(BOOL freeze) override;

  // IViewObject, IViewObject2
  STDMETHODIMP Draw(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device,
                    HDC targetDevice, HDC dc, LPCRECTL bounds, LPCRECTL metafileBounds,
                    BOOL(STDMETHODCALLTYPE* keepGoing)(ULONG_PTR), ULONG_PTR keepGoingArg) override;
  STDMETHODIMP GetColorSet(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device,
                           HDC targetDevice, LOGPALETTE** colors) override;
  STDMETHODIMP Freeze(DWORD aspect, LONG index, void* aspectInfo, DWORD* freeze) override;
  STDMETHODIMP Unfreeze(DWORD freeze) override;
  STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
  STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
  STDMETHODIMP GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device, LPSIZEL size) override;

  // IPersist (of the three persistence interfaces)
  STDMETHODIMP GetClassID(CLSID* clsid) override;
  // IPersistStreamInit, IPersistPropertyBag (InitNew), IPersistStorage (IsDirty)
  STDMETHODIMP IsDirty() override;
  STDMETHODIMP InitNew() override;
  STDMETHODIMP Load(LPSTREAM stream) override;
  STDMETHODIMP Save(LPSTREAM stream, BOOL clearDirty) override;
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
  // IPersistPropertyBag
  STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
  STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;
  // IPersistStorage
  STDMETHODIMP InitNew(IStorage* storage) override;
  STDMETHODIMP Load(IStorage* storage) override;
  STDMETHODIMP Save(IStorage* storage, BOOL sameAsLoad) override;
  STDMETHODIMP SaveCompleted(IStorage* storage) override;
  STDMETHODIMP HandsOffStorage() override;

  // Paints the face into `bounds` of `dc` (the window's WM_PAINT and Draw).
  static void paintFace(HDC dc, const RECT& bounds);

 private:
  HRESULT inPlaceActivate(IOleClientSite* site, HWND parent, LPCRECT posRect);
  HRESULT uiActivate();
  // Places the window at posRect's corner with the fixed size, clipped to clipRect.
  void placeWindow(const RECT& posRect, const RECT& clipRect);
  SIZE sizeInPixels() const;
  void releaseInPlaceContext();

  IUnknown& outer_;
  std::function<void()> closePort_;
  IOleClientSite* clientSite_ = nullptr;
  IOleAdviseHolder* adviseHolder_ = nullptr;
  IAdviseSink* viewSink_ = nullptr;
  DWORD viewAspects_ = 0;
  DWORD viewFlags_ = 0;
  // In-place state: the site and frame we were activated with, and our window.
  IOleInPlaceSite* inPlaceSite_ = nullptr;
  IOleInPlaceFrame* frame_ = nullptr;
  IOleInPlaceUIWindow* uiWindow_ = nullptr;
  HWND window_ = nullptr;
  bool uiActive_ = false;
};

}  // namespace reviri::com

#endif  // REVIRI_COM_EMBEDDING_H_
