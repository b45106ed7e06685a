' A client that hands the server its own application object as the page's:
' the attachment is refused (no hang), and a later call meets no page.
Option Explicit
Dim app, name
'#include contract.vbs
'#include checks.vbs

Set app = CreateObject(kApplicationProgId)
On Error Resume Next
app.AttachAppObject app
Check "AttachAppObject(itself) raises E_INVALIDARG (VBScript error 5)", Err.Number, 5
Err.Clear
name = app.Name
Check "Name then raises", Hex(Err.Number), "80020009"
Check "with the description", Err.Description, "The Object is out of scope."
Err.Clear
On Error GoTo 0
Set app = Nothing
WScript.Echo "released at " & Timer
WScript.Echo passed & " passed, " & failed & " failed"
