' tests/com/wine/reviri_test.vbs - the control from VBScript, late bound.
' Run by cscript with the simulated modem on COM1, which sends messages to its
' own number back as incoming ones; prints "N passed, N failed".
' (cscript reports no script errors, so the last line is what counts.)
Option Explicit
Dim passed, failed, m, r, book, text, found, i, index
passed = 0
failed = 0

Sub Check(ok, what, detail)
  If ok Then
    passed = passed + 1
    WScript.Echo "ok   " & what
  Else
    failed = failed + 1
    WScript.Echo "FAIL " & what & ": " & detail
  End If
End Sub

' Wine's cscript has no WScript.Sleep: let the control wait instead. An
' empty command line waits for the idle bound, TimeRe polls of 50 us.
Sub Pause()
  Dim saved
  saved = m.TimeRe
  m.TimeRe = 4000
  m.at ""
  m.TimeRe = saved
End Sub

Set m = CreateObject("Raruru_VU.Reviri")
Check m.TimeRe = 900000, "TimeRe starts at 900000", m.TimeRe
Check m.Checkautodel = False, "Checkautodel starts False", m.Checkautodel
Check m.SMS_Read_String = "" And m.LastReadSms_text = "", "string properties start empty", ""
m.Checkautodel = True
Check m.Checkautodel = True, "Checkautodel keeps True", m.Checkautodel
m.Checkautodel = False
m.TimeRe = 20000

On Error Resume Next
r = m.delSIM("1" & vbCr)
Check Err.Number <> 0 And Len(Err.Description) > 0, "a refused argument raises an error", Err.Number
Err.Clear
On Error GoTo 0

Check m.inimodem(1, "19200,n,8,1") = True, "inimodem(1, ""19200,n,8,1"")", ""
r = m.startlisten()
Check InStr(r, "OK") > 0, "startlisten() uses the default 1,1,0,0", r
Check m.FlagCatchwho = "cnmi", "FlagCatchwho reads cnmi", m.FlagCatchwho
r = m.selSIM
Check InStr(r, "+CPMS:") > 0, "selSIM without its argument uses SM,SM,SM", r
r = m.at("AT+CGMI" & vbCr)
Check InStr(r, "Reviri") > 0, "at returns the raw answer", r

r = m.gsm7smssubmit("+4917012345678", "Hello from VBScript")
Check InStr(r, "+CMGS:") > 0, "gsm7smssubmit", r
' Wine's VBScript has no ChrW; the C++ client sends the non-ASCII text.
r = m.UNIsmssubmit("+4917012345678", "UCS2 from VBScript")
Check InStr(r, "+CMGS:") > 0, "UNIsmssubmit", r

' A message to the modem's own number comes back; find it among the stored ones.
text = "VBScript round trip " & CStr(Int(Timer * 100))
r = m.gsm7smssubmit("+4915112345678", text)
found = False
For i = 1 To 50
  m.ReadAllSms
  For Each index In Split(m.SMS_Read_String, ",")
    If index <> "" Then
      If m.read_insms(index) Then
        If m.LastReadSms_text = text Then found = True
      End If
    End If
    If found Then Exit For
  Next
  If found Then Exit For
  Pause
Next
Check found, "ReadAllSms and read_insms find the message that came back", m.SMS_Read_String
Check InStr(m.LastReadSms_sender, "4915112345678") > 0, "LastReadSms_sender", m.LastReadSms_sender

m.phoneucs2charset
m.phonebookwrite "1", "+4915112345", "145", "Alice"
r = m.readphonebook("1,2", book)
' VBScript cannot open records; it sees an array of them (vbArray + 36).
Check VarType(book) = 8192 + 36, "readphonebook fills the array of records", VarType(book)

' An array declared with its bounds cannot take a new size: an error, and
' the array stays as it was.
Dim fixed(1)
fixed(0) = "kept"
On Error Resume Next
r = m.readphonebook("1,2", fixed)
Check Err.Number <> 0 And Len(Err.Description) > 0, "readphonebook refuses an array with fixed bounds", Err.Number
Err.Clear
On Error GoTo 0
Check UBound(fixed) = 1 And fixed(0) = "kept", "the fixed array is left as it was", UBound(fixed)

Check m.disconnect1() = False, "disconnect1", ""
Set m = Nothing
WScript.Echo passed & " passed, " & failed & " failed"
