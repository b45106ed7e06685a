' A client that hands the server its own application object as the page's:
' the attachment is refused (no hang), and a later call meets no page.
Option Explicit
Dim app, passed, failed, name
passed = 0
failed = 0
Sub Check(label, actual, expected)
  If actual = expected Then
    passed = passed + 1
  Else
    failed = failed + 1
    WScript.Echo "FAIL " & label & ": got [" & actual & "], expected [" & expected & "]"
  End If
End Sub

Set app = CreateObject("Vaduna.Desktop_Integration_Application")
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
