' A client of a connector started with --call-timeout 3: a page member that
' never answers, and one that answers after the time-out, each fail the call
' after about 3 s; the page stays attached and answers the next calls.
' Prints "Never returned after N ms" and "Late returned after N ms" for the
' runner to check. Ends with "N passed, N failed".
Option Explicit

'#include contract.vbs
'#include checks.vbs

Dim app, service, query, answer, lateAnswer

' Calls method through the service, timed; prints how long it took.
Function TimedCall(method)
  Dim started, elapsed
  Set answer = app.NewPropertySet
  On Error Resume Next
  started = Timer
  TimedCall = service.InvokeMethod(method, query, answer)
  elapsed = Timer - started
  errNumber = Err.Number
  Err.Clear
  On Error GoTo 0
  If elapsed < 0 Then elapsed = elapsed + 86400
  WScript.Echo method & " returned after " & CLng(elapsed * 1000) & " ms"
End Function

Set app = CreateObject(kApplicationProgId)
Set service = app.GetService("Text Service")
Set query = app.NewPropertySet

' The connector gives up on the page; the server answers False and raises nothing.
Check "InvokeMethod of a member that never answers", TimedCall("Never"), False
Check "it raises no error", Hex(errNumber), "0"
Check "it records nothing", CLng(service.GetLastErrCode), 0

' The page answers after the time-out, with a set of its own: dropped.
query.SetProperty "Ms", "4500"
Check "InvokeMethod answered after the time-out", TimedCall("Fresh"), False
Check "that raises no error either", Hex(errNumber), "0"
Set lateAnswer = answer

' The page is still attached and answers; this call ends after the late answer came.
Check "IsReady after the time-outs", app.IsReady, True
query.SetProperty "Ms", "2000"
Check "a call after the time-outs", TimedCall("Later"), True
Check "its answer", answer.GetProperty("Done"), "yes"
Check "the late answer did not reach its output set", lateAnswer.GetType, ""
Set service = app.GetService("Text Service")
Check "GetService after the time-outs", service Is Nothing, False

Set lateAnswer = Nothing
Set answer = Nothing
Set query = Nothing
Set service = Nothing
Set app = Nothing
WScript.Echo passed & " passed, " & failed & " failed"
