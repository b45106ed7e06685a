' A client that holds the page's objects while the page reloads. Before the
' reload it calls the page; then it prints "waiting" and waits (at most 90 s)
' for the file named by its argument, which the runner makes once the
' reloaded page is attached. After it: the next GetService reaches the new
' page, and the objects of the old page raise "out of scope" without
' disturbing the new one, also where they are handed to it: the old page's
' set as input, output or child fails as a call on that set would, and never
' reaches the new page. Ends with "N passed, N failed".
Option Explicit

'#include contract.vbs
'#include checks.vbs

Sub CheckOutOfScope(label, source)
  Check label & " raises DISP_E_EXCEPTION", Hex(errNumber), "80020009"
  Check label & " description", errDescription, "The Object is out of scope."
  Check label & " source", errSource, source
End Sub

Dim app, service, oldService, oldSet, request, answer, parent, ignored

' The page's Encode of "Z%u00FCrich" (decoded on the page) through service: the
' text crosses both ways.
Function RoundTrip(through)
  Dim decodeIn, decodeOut, encodeOut
  Set decodeIn = app.NewPropertySet
  decodeIn.SetProperty "Escaped", "Z%u00FCrich"
  Set decodeOut = app.NewPropertySet
  Set encodeOut = app.NewPropertySet
  RoundTrip = ""
  If Not through.InvokeMethod("Decode", decodeIn, decodeOut) Then Exit Function
  If through.InvokeMethod("Encode", decodeOut, encodeOut) Then RoundTrip = encodeOut.GetProperty("Escaped")
End Function

' Waits for the file, each round asking the server (never the page) for its
' error code so that the loop does not spin; False after 90 s.
Function WaitForFile(path)
  Dim fso, start, now
  Set fso = CreateObject("Scripting.FileSystemObject")
  start = Timer
  WaitForFile = True
  Do Until fso.FileExists(path)
    now = Timer
    If now < start Then now = now + 86400
    If now - start > 90 Then
      WaitForFile = False
      Exit Function
    End If
    ignored = app.GetLastErrCode
  Loop
End Function

' ---- Before the reload ----
Set app = CreateObject(kApplicationProgId)
Set oldService = app.GetService("Text Service")
Check "GetService before the reload", oldService Is Nothing, False
Check "a call before the reload", RoundTrip(oldService), "Z%u00FCrich"
Set oldSet = app.NewPropertySet
oldSet.SetProperty "Kept", "on the old page"

WScript.Echo "waiting"
Check "the reloaded page is attached in time", WaitForFile(WScript.Arguments(0)), True

' ---- After it: the new page ----
Check "IsReady after the reload", app.IsReady, True
Set service = app.GetService("Text Service")
Check "the next GetService works", service Is Nothing, False
Check "it is another object than the old page's service", service Is oldService, False
Check "a call through the new page", RoundTrip(service), "Z%u00FCrich"

' ---- The old page's objects: out of scope, clearly ----
On Error Resume Next
Set request = app.NewPropertySet
Set answer = app.NewPropertySet
ignored = oldService.InvokeMethod("Encode", request, answer)
CaptureError
CheckOutOfScope "InvokeMethod on the old page's service", kServiceVersionedProgId
Check "the old service's GetLastErrCode", CLng(oldService.GetLastErrCode), 202
Check "the old service's GetLastErrText", oldService.GetLastErrText, "The Object is out of scope."
ignored = oldService.Name
CaptureError
CheckOutOfScope "Name of the old page's service", kServiceVersionedProgId
ignored = oldSet.GetProperty("Kept")
CaptureError
CheckOutOfScope "GetProperty of the old page's set", kPropertySetClassProgId
ignored = service.InvokeMethod("Echo", oldSet, answer)
CaptureError
CheckOutOfScope "InvokeMethod with the old page's set as input", kServiceVersionedProgId
ignored = service.InvokeMethod("Echo", request, oldSet)
CaptureError
CheckOutOfScope "InvokeMethod with the old page's set as output", kServiceVersionedProgId
Set parent = app.NewPropertySet
parent.AddChild oldSet
CaptureError
CheckOutOfScope "AddChild of the old page's set", kPropertySetClassProgId
Check "the new set has no child after it", CLng(parent.GetChildCount), 0
On Error GoTo 0

' ---- The new page was not disturbed by them ----
Check "IsReady after the old objects failed", app.IsReady, True
Check "a call through the new page after the old objects failed", RoundTrip(service), "Z%u00FCrich"
Set service = Nothing
Set service = app.GetService("Text Service")
Check "GetService after the old objects failed", service Is Nothing, False

Set parent = Nothing
Set request = Nothing
Set answer = Nothing
Set oldSet = Nothing
Set oldService = Nothing
Set service = Nothing
Set app = Nothing
WScript.Echo passed & " passed, " & failed & " failed"
