// com/reviri_control.h - the Reviri control as a COM object.
//
// ReviriControl wraps one reviri::Reviri and offers it to Automation hosts:
// the dual interface _Reviri (vtable and IDispatch, the latter driven by the
// type library except for readphonebook, which is dispatched by hand because
// some ITypeInfo::Invoke implementations cannot pass arrays of records),
// events through the connection point of __Reviri, IProvideClassInfo2,
// ISupportErrorInfo, and the OLE embedding interfaces of ControlEmbedding
// (com/embedding.h) that let form hosts place it. A C++ exception inside a
// method becomes a failing HRESULT with an error description; modem failures
// stay result values.
//
// Threading: apartment-threaded. Everything runs on the thread that created
// the object. A thread-pool wait watches the serial port and posts to a
// message-only window of that thread, so the receive event (and the events
// it raises) run on the object's thread while the host pumps messages. While
// a method waits for the modem, the control pumps the thread's messages.
#ifndef REVIRI_COM_REVIRI_CONTROL_H_
#define REVIRI_COM_REVIRI_CONTROL_H_

#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "Raruru_VU.h"
#include "com/embedding.h"
#include "reviri/reviri.h"

namespace reviri::com {

// Objects and server locks alive in this module (DllCanUnloadNow).
extern std::atomic<long> gModuleRefs;
// The module's instance handle (set by DllMain).
extern HINSTANCE gModule;

// Loads the type library embedded in this module. The caller owns the result.
HRESULT loadOwnTypeLib(ITypeLib** out);

// Removes the window class of the controls' receive windows (when the module
// is unloaded, so that a later load registers it afresh).
void unregisterReceiveWindowClass();

class ReviriControl;

// The connection point of __Reviri (and its earlier identity). Lives inside
// the control and shares its reference count.
class EventConnectionPoint final : public IConnectionPoint, public ReviriEvents {
 public:
  explicit EventConnectionPoint(ReviriControl& owner) : owner_(owner) {}
  ~EventConnectionPoint() override;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IConnectionPoint
  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** out) override;
  // ReviriEvents: forwards to every connected sink.
  void SMSReceived(const std::string& INDEX1, const std::string& cell,
                   const std::string& msg) override;
  void SMSERR(const std::string& errorcode) override;
  void SMSSendOk(const std::string& code) override;

 private:
  void fire(DISPID id, const std::vector<std::string>& args);

  ReviriControl& owner_;
  std::vector<std::pair<DWORD, IDispatch*>> sinks_;
  DWORD nextCookie_ = 1;
};

class ReviriControl final : public _Reviri,
                            public IConnectionPointContainer,
                            public IProvideClassInfo2,
                            public ISupportErrorInfo {
 public:
  // Creates the object with one reference; nullptr and an HRESULT on failure.
  static HRESULT create(ReviriControl** out);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excep, UINT* argErr) override;

  // _Reviri: properties
  STDMETHODIMP get_TimeRe(double* v) override;
  STDMETHODIMP put_TimeRe(double v) override;
  STDMETHODIMP get_FlagCatchwho(BSTR* v) override;
  STDMETHODIMP put_FlagCatchwho(BSTR v) override;
  STDMETHODIMP get_SMS_Read_String(BSTR* v) override;
  STDMETHODIMP put_SMS_Read_String(BSTR v) override;
  STDMETHODIMP get_SMS_Send_String(BSTR* v) override;
  STDMETHODIMP put_SMS_Send_String(BSTR v) override;
  STDMETHODIMP get_Checkautodel(VARIANT_BOOL* v) override;
  STDMETHODIMP put_Checkautodel(VARIANT_BOOL v) override;
  STDMETHODIMP get_LastReadSms_text(BSTR* v) override;
  STDMETHODIMP put_LastReadSms_text(BSTR v) override;
  STDMETHODIMP get_LastReadSms_sender(BSTR* v) override;
  STDMETHODIMP put_LastReadSms_sender(BSTR v) override;
  STDMETHODIMP get_LastSendSms_text(BSTR* v) override;
  STDMETHODIMP put_LastSendSms_text(BSTR v) override;
  STDMETHODIMP get_LastSendSms_sender(BSTR* v) override;
  STDMETHODIMP put_LastSendSms_sender(BSTR v) override;

  // _Reviri: methods
  STDMETHODIMP at2(BSTR* ins, BSTR* result) override;
  STDMETHODIMP at(BSTR* ins, BSTR* result) override;
  STDMETHODIMP startlisten(BSTR insmi, BSTR* result) override;
  STDMETHODIMP PostTerminal(BSTR sNewData) override;
  STDMETHODIMP ReadAllSms(VARIANT* result) override;
  STDMETHODIMP gsm7smswrite(BSTR cel, BSTR msgc, VARIANT* result) override;
  STDMETHODIMP gsm7smsflashsubmit(BSTR cel, BSTR msgc, VARIANT* result) override;
  STDMETHODIMP gsm7smssubmit(BSTR cel, BSTR msgc, BSTR* result) override;
  STDMETHODIMP gsm7smssubmit2(BSTR cel, BSTR msgc, VARIANT* result) override;
  STDMETHODIMP UNIsmssubmit(BSTR cel, BSTR msgc, VARIANT* result) override;
  STDMETHODIMP UNIsmssubmit2(BSTR cel, BSTR msgc, VARIANT* result) override;
  STDMETHODIMP UNIsmswrite(BSTR cel, BSTR msgc, BSTR* result) override;
  STDMETHODIMP UNIflashsmssubmit2(BSTR cel, BSTR msgc, VARIANT* result) override;
  STDMETHODIMP UNIflashsmssubmit(BSTR cel, BSTR msgc, VARIANT* result) override;
  STDMETHODIMP inimodem(short comport, BSTR comsettings, VARIANT_BOOL* result) override;
  STDMETHODIMP checkState(VARIANT_BOOL* result) override;
  STDMETHODIMP disconnect1(VARIANT_BOOL* result) override;
  STDMETHODIMP getsq(BSTR* result) override;
  STDMETHODIMP getcharge(BSTR* result) override;
  STDMETHODIMP getsoftid(BSTR* result) override;
  STDMETHODIMP getIMEI(BSTR* result) override;
  STDMETHODIMP getmodelid(BSTR* result) override;
  STDMETHODIMP getmanufacturerid(BSTR* result) override;
  STDMETHODIMP selSIM(BSTR ins, BSTR* result) override;
  STDMETHODIMP sendSIMother(BSTR ins, BSTR* result) override;
  STDMETHODIMP delSIM(BSTR ins, BSTR* result) override;
  STDMETHODIMP read_insms(BSTR INDEX1, VARIANT_BOOL* result) override;
  STDMETHODIMP read_outsms(BSTR INDEX1, VARIANT_BOOL* result) override;
  STDMETHODIMP parsere(BSTR ins, BSTR* result) override;
  STDMETHODIMP readphonebook(BSTR ins1, SAFEARRAY** inbook, VARIANT* result) override;
  STDMETHODIMP selectphonebook(BSTR ins1, VARIANT* result) override;
  STDMETHODIMP currentphonebook(VARIANT* result) override;
  STDMETHODIMP phoneucs2charset(BSTR* result) override;
  STDMETHODIMP phonecharset(BSTR* result) override;
  STDMETHODIMP phonebookwrite(BSTR index, BSTR cell, BSTR celltype, BSTR uname,
                              BSTR* result) override;
  STDMETHODIMP ENCodeunicodestring(BSTR* ins, BSTR* result) override;

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** out) override;

  // IProvideClassInfo2
  STDMETHODIMP GetClassInfo(ITypeInfo** out) override;
  STDMETHODIMP GetGUID(DWORD kind, GUID* out) override;

  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

  // Called on the object's thread when the serial port has data waiting.
  void onDataArrived();

 private:
  ReviriControl();
  ~ReviriControl();
  HRESULT init();

  // Runs one member: exceptions become failing HRESULTs with error info, and
  // the receive watch is re-armed afterwards.
  template <typename Fn>
  HRESULT guarded(Fn&& fn);
  template <typename Fn>
  HRESULT stringResult(BSTR* result, Fn&& fn);
  template <typename Fn>
  HRESULT variantResult(VARIANT* result, Fn&& fn);
  template <typename Fn>
  HRESULT boolResult(VARIANT_BOOL* result, Fn&& fn);

  HRESULT invokeReadPhonebook(WORD flags, DISPPARAMS* params, VARIANT* result,
                              EXCEPINFO* excep, UINT* argErr);
  // Runs readphonebook on the entries of `current` (the host's array, or
  // null); when they changed, *replacement receives a new array of records
  // with the same lower bound. A fixed or locked `current` is refused before
  // anything is sent, and left as it was.
  HRESULT readPhonebookInto(const std::string& ins1, SAFEARRAY* current, SAFEARRAY** replacement);

  void armReceiveWatch();
  void disarmReceiveWatch();

  std::atomic<ULONG> refs_{1};
  Reviri control_;
  EventConnectionPoint events_;
  // Declared after control_: deactivated and released before the port closes.
  ControlEmbedding embedding_;
  ITypeLib* typeLib_ = nullptr;
  ITypeInfo* typeInfo_ = nullptr;      // _Reviri
  IRecordInfo* phonebookRecord_ = nullptr;
  HWND window_ = nullptr;              // message-only, on the object's thread
  HANDLE wait_ = nullptr;              // thread-pool wait on the serial port
  bool inReceive_ = false;

  friend class EventConnectionPoint;
};

}  // namespace reviri::com

#endif  // REVIRI_COM_REVIRI_CONTROL_H_
