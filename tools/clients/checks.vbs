' The checks every client script shares. A client names this file on a line
' of its own, "'#include checks.vbs", and the harness (tools/harness/
' clients.mjs) puts the file's text there before it runs the client: Wine's
' script host runs neither .wsf jobs nor ExecuteGlobal. A client ends with
' "N passed, M failed": a runtime error ends cscript silently with status 0,
' so the runners demand that line.
Dim passed, failed, showChecks
passed = 0
failed = 0
showChecks = False  ' True: every check is printed, not only the failed ones

Sub Check(label, actual, expected)
  If actual = expected Then
    passed = passed + 1
    If showChecks Then WScript.Echo "    ok    " & label & " = " & actual
  ElseIf showChecks Then
    failed = failed + 1
    WScript.Echo "    FAIL  " & label & " = " & actual & " (expected " & expected & ")"
  Else
    failed = failed + 1
    WScript.Echo "FAIL " & label & ": got [" & actual & "], expected [" & expected & "]"
  End If
End Sub

' The error a call raised, captured by the caller right after the call.
Dim errNumber, errDescription, errSource
Sub CaptureError()
  errNumber = Err.Number
  errDescription = Err.Description
  errSource = Err.Source
  Err.Clear
End Sub
