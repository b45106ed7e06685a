' One round of calls through the attached page: GetService, a property set,
' InvokeMethod with text beyond ASCII there and back. Ends with
' "N passed, N failed".
Option Explicit

'#include contract.vbs
'#include checks.vbs

Dim app, service, query, decoded, encoded

Set app = CreateObject(kApplicationProgId)
Check "IsReady", app.IsReady, True
Set service = app.GetService("Text Service")
Check "GetService", service Is Nothing, False
Set query = app.NewPropertySet
query.SetProperty "Escaped", "%u6771%u4EAC %u2013 Z%u00FCrich"
Set decoded = app.NewPropertySet
Check "InvokeMethod Decode", service.InvokeMethod("Decode", query, decoded), True
Check "the decoded text's length", Len(decoded.GetProperty("Text")), 11
Set encoded = app.NewPropertySet
Check "InvokeMethod Encode", service.InvokeMethod("Encode", decoded, encoded), True
Check "the text there and back", encoded.GetProperty("Escaped"), "%u6771%u4EAC %u2013 Z%u00FCrich"

Set encoded = Nothing
Set decoded = Nothing
Set query = Nothing
Set service = Nothing
Set app = Nothing
WScript.Echo passed & " passed, " & failed & " failed"
