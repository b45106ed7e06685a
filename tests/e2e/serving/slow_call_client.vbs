' A client whose InvokeMethod is in the page when the page's process is
' ended: the call fails with a recorded error, and so do later calls.
' Prints "calling" just before the slow call so the runner knows when.
Option Explicit
Dim app, service, query, answer, done
'#include contract.vbs
'#include checks.vbs

Set app = CreateObject(kApplicationProgId)
Set service = app.GetService("Account Service")
Set query = app.NewPropertySet
Set answer = app.NewPropertySet
query.SetProperty "Seconds", "20"
WScript.Echo "calling"
On Error Resume Next
done = service.InvokeMethod("Slow", query, answer)
Check "the slow call fails", Hex(Err.Number), "80020009"
Check "with the recorded error", Err.Description, "The Object is out of scope."
Err.Clear
Set service = app.GetService("Account Service")
Check "a later GetService fails clearly", Hex(Err.Number), "80020009"
Check "with the same description", Err.Description, "The Object is out of scope."
Err.Clear
Check "IsReady answers False", app.IsReady, False
On Error GoTo 0
Set answer = Nothing
Set query = Nothing
Set service = Nothing
Set app = Nothing
WScript.Echo "released at " & Timer
WScript.Echo passed & " passed, " & failed & " failed"
