' tests/com/wine/events.vbs - the control's events in VBScript, bound by
' prefix as the Windows Script Host binds them (run by reviri_vbshost.exe).
Option Explicit
Dim passed, failed, m, received, sent, i, text
passed = 0
failed = 0
received = ""
sent = ""

Sub Check(ok, what, detail)
  If ok Then
    passed = passed + 1
    WScript.Echo "ok   " & what
  Else
    failed = failed + 1
    WScript.Echo "FAIL " & what & ": " & detail
  End If
End Sub

Sub Modem_SMSReceived(index, cell, msg)
  received = index & "|" & cell & "|" & msg
End Sub

Sub Modem_SMSSendOk(code)
  sent = code
End Sub

Set m = WScript.CreateObject("Raruru_VU.Reviri", "Modem_")
m.TimeRe = 20000
Check m.inimodem(1, "19200,n,8,1"), "inimodem", ""

' A message to the modem's own number comes back as a new message.
m.startlisten
text = "Event round trip " & CStr(Int(Timer * 100))
m.gsm7smssubmit "+4915112345678", text
For i = 1 To 150
  If received <> "" Then Exit For
  WScript.Sleep 100
Next
Check InStr(received, "4915112345678|" & text) > 0, "SMSReceived reaches the script", received

m.gsm7smssubmit2 "+4917012345678", "no wait"
For i = 1 To 100
  If sent <> "" Then Exit For
  WScript.Sleep 100
Next
Check sent <> "", "SMSSendOk reaches the script", sent

m.disconnect1
Set m = Nothing
WScript.Echo passed & " passed, " & failed & " failed"
