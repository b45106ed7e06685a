' A client inside a slow InvokeMethod (the page answers after 60 s) when the
' page is closed: the call fails with the recorded error, and so do later
' calls. Prints "calling" just before the slow call and "returned after N ms"
' right after it, so that the runner can time the failure, and "released at
' SECONDS" (Timer) once it let go of its last object. Ends with "N passed,
' N failed".
Option Explicit

'#include contract.vbs
'#include checks.vbs

Dim app, service, query, answer, done, start, took

Set app = CreateObject(kApplicationProgId)
Set service = app.GetService("Text Service")
Set query = app.NewPropertySet
Set answer = app.NewPropertySet
query.SetProperty "Ms", "60000"
WScript.Echo "calling"
On Error Resume Next
start = Timer
done = service.InvokeMethod("Later", query, answer)
took = Timer - start
errNumber = Err.Number
errDescription = Err.Description
errSource = Err.Source
Err.Clear
If took < 0 Then took = took + 86400
WScript.Echo "returned after " & CLng(took * 1000) & " ms"
Check "the slow call fails", Hex(errNumber), "80020009"
Check "with the recorded error", errDescription, "The Object is out of scope."
Check "raised by the service", errSource, kServiceVersionedProgId
Set service = app.GetService("Text Service")
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
