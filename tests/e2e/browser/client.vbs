' A desktop client of the browser test page (page.js), which headless
' Chromium attached to the server through the connector: every call
' below crosses client -> server -> connector -> page and back. Ends with
' "N passed, N failed": a runtime error ends cscript silently with status 0,
' so the runner demands that line.
Option Explicit

'#include contract.vbs
'#include checks.vbs

Dim app, service, again, missing, city, text

' The page's text for %uXXXX escapes (Wine's VBScript has no ChrW).
Function Decoded(escaped)
  Dim request, answer
  Set request = app.NewPropertySet
  request.SetProperty "Escaped", escaped
  Set answer = app.NewPropertySet
  If service.InvokeMethod("Decode", request, answer) Then Decoded = answer.GetProperty("Text")
End Function

' The escapes of text as it arrived on the page: every code unit beyond ASCII as %uXXXX.
Function Encoded(text)
  Dim request, answer
  Set request = app.NewPropertySet
  request.SetProperty "Text", text
  Set answer = app.NewPropertySet
  If service.InvokeMethod("Encode", request, answer) Then Encoded = answer.GetProperty("Escaped")
End Function

' ---- The application and its service ----
Set app = CreateObject(kApplicationProgId)
Check "app.Name", app.Name, "Vaduna Browser Test Page"
Check "app.IsReady", app.IsReady, True
Set service = app.GetService("Text Service")
Check "service.Name", service.Name, "Text Service"
Set again = app.GetService("Text Service")
Check "GetService twice yields the same service (one COM object per page object)", again Is service, True
Set again = Nothing
Set missing = app.GetService("Payroll Service")
Check "an unknown service (the page throws) is Nothing", missing Is Nothing, True
Check "an unknown service GetLastErrCode", CLng(app.GetLastErrCode), 203
Check "an unknown service GetLastErrText", app.GetLastErrText, "Unable to Get Service."

' ---- A page property set: SetProperty, InvokeMethod, the output read back ----
Dim input, output, entry, echoed, later
Set input = app.NewPropertySet
Check "SetProperty", input.SetProperty("Customer", "ACME"), True
Check "SetProperty second", input.SetProperty("Region", "North"), True
Check "GetProperty", input.GetProperty("Customer"), "ACME"
Check "GetPropertyCount", input.GetPropertyCount, 2
Set output = app.NewPropertySet
Check "InvokeMethod Split", service.InvokeMethod("Split", input, output), True
Check "output GetType", output.GetType, "Entries"
Check "output GetChildCount", output.GetChildCount, 2
Set entry = output.GetChild(1)
Check "child GetValue", entry.GetValue, "Region"
Check "child GetProperty", entry.GetProperty("Value"), "North"
Check "GetChild twice yields the same object", output.GetChild(1) Is entry, True
Set entry = Nothing

' The page answers with its input set: the output wraps the same page object.
Set echoed = app.NewPropertySet
Check "InvokeMethod Echo", service.InvokeMethod("Echo", input, echoed), True
echoed.SetProperty "Customer", "Borealis"
Check "echoed and input share one page set", input.GetProperty("Customer"), "Borealis"

' Methods that answer later (a Promise): the call waits for them, whether they
' fill the output set or answer with a set of their own.
input.SetProperty "Ms", "300"
Set later = app.NewPropertySet
Check "InvokeMethod Later (a Promise)", service.InvokeMethod("Later", input, later), True
Check "the awaited answer", later.GetProperty("Done"), "yes"
Set later = app.NewPropertySet
Check "InvokeMethod Fresh (a Promise of its own set)", service.InvokeMethod("Fresh", input, later), True
Check "the awaited set's type", later.GetType, "Fresh"
Check "the awaited set's property", later.GetProperty("Done"), "yes"

' A page method that throws: the call answers False and raises nothing; the
' page's message does not reach the client, nothing is recorded, and the
' output set keeps what it had.
On Error Resume Next
Check "InvokeMethod Fail", service.InvokeMethod("Fail", input, output), False
CaptureError
On Error GoTo 0
Check "a page exception raises no error", Hex(errNumber), "0"
Check "a page exception is not recorded", CLng(service.GetLastErrCode), 0
Check "the output set after a page exception", output.GetType, "Entries"

' ---- Text beyond ASCII, both ways ----
text = Decoded("Z%u00FCrich %u2013 %u6771%u4EAC")
Check "non-ASCII text from the page, length", Len(text), 11
Check "non-ASCII text to the page, every code unit", Encoded(text), "Z%u00FCrich %u2013 %u6771%u4EAC"
input.SetProperty "City", text
Check "non-ASCII property value there and back", input.GetProperty("City"), text
input.SetProperty text, "key"
Check "non-ASCII property name there and back", input.GetProperty(text), "key"

text = Decoded("%uD83D%uDE00 %uD834%uDD1E")
Check "text beyond the BMP, length (surrogate pairs)", Len(text), 5
Check "text beyond the BMP to the page, every code unit", Encoded(text), "%uD83D%uDE00 %uD834%uDD1E"
Check "a lone surrogate arrives as U+FFFD", Encoded(Decoded("a%uD800b%uDC00")), "a%uFFFDb%uFFFD"
text = Decoded("a%u0000b")
Check "an embedded NUL is kept, length", Len(text), 3
Check "an embedded NUL to the page", Encoded(text), "a%u0000b"

' ---- A service whose name is beyond ASCII ----
Set city = app.GetService(Decoded("Z%u00FCrich %u6771%u4EAC"))
Check "a service named beyond ASCII is found", city Is Nothing, False
If Not city Is Nothing Then
  Check "its name, every code unit", Encoded(city.Name), "Z%u00FCrich %u6771%u4EAC"
  Set output = app.NewPropertySet
  Check "InvokeMethod on it", city.InvokeMethod("Where", input, output), True
  Check "its answer beyond ASCII", Encoded(output.GetProperty("City")), "Z%u00FCrich"
End If

Set city = Nothing
Set later = Nothing
Set echoed = Nothing
Set output = Nothing
Set input = Nothing
Set missing = Nothing
Set service = Nothing
Set app = Nothing
WScript.Echo passed & " passed, " & failed & " failed"
