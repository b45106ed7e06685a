' Activates the application object, makes one call, and lets go of it.
' With no page attached IsReady answers False and records nothing.
' A failed activation is printed: a runtime error would end cscript silently.
Option Explicit
'#include contract.vbs
Dim app, passed, failed
passed = 0
failed = 0
On Error Resume Next
Set app = CreateObject(kApplicationProgId)
If Err.Number <> 0 Then WScript.Echo "activation failed: " & Hex(Err.Number) & " " & Err.Description
On Error GoTo 0
If app.IsReady = False Then passed = passed + 1 Else failed = failed + 1
If CLng(app.GetLastErrCode) = 0 Then passed = passed + 1 Else failed = failed + 1
Set app = Nothing
WScript.Echo "released at " & Timer
WScript.Echo passed & " passed, " & failed & " failed"
