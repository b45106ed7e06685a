' The desktop client of the demo: asks the "Account Service" of the demo web
' application (web/demo/, open in a browser and attached through the page
' connector) for the accounts of one customer through the server, reads the
' answer child by child, asks for the balance (which the page answers later,
' as if from a back end), copies the answer, and shows how failures reach
' the client. Every call crosses client -> server -> connector -> page and
' back. Prints a numbered transcript and ends with "N passed, N failed".
' Ends normally (no WScript.Quit), so that every object is released.
Option Explicit

'#include contract.vbs
'#include checks.vbs
showChecks = True

Sub Say(text)
  WScript.Echo text
End Sub

Dim app, service, query, answer, record, balance, copy, missing, unknown, bare, i, count
Dim nameResult

Say "1. The client creates the server's application object: the web page answers"
Set app = CreateObject(kApplicationProgId)
Check "app.Name", app.Name, "Vaduna Demo Web Application"
Check "app.IsReady", app.IsReady, True

Say "2. GetService(""Account Service"")"
Set service = app.GetService("Account Service")
Check "service.Name", service.Name, "Account Service"

Say "3. NewPropertySet twice; the input set gets Customer = ACME"
Set query = app.NewPropertySet
Set answer = app.NewPropertySet
Check "query.SetProperty(""Customer"", ""ACME"")", query.SetProperty("Customer", "ACME"), True
Check "query.GetProperty(""Customer"")", query.GetProperty("Customer"), "ACME"

Say "4. service.InvokeMethod(""Query"", query, answer): the page fills the answer"
Check "InvokeMethod(""Query"")", service.InvokeMethod("Query", query, answer), True
Check "answer.GetType", answer.GetType, "AccountList"
Check "answer.GetValue (the number of records)", answer.GetValue, "2"
count = answer.GetChildCount
Check "answer.GetChildCount", count, 2

Say "5. The records, child by child"
For i = 0 To count - 1
  Set record = answer.GetChild(i)
  Say "    account " & record.GetProperty("Id") & "  " & record.GetProperty("Name") & _
      "  balance " & record.GetProperty("Balance")
Next
Check "answer.GetChild(0) is the same object twice", answer.GetChild(0) Is answer.GetChild(0), True
Check "answer.GetChild(1).GetType", answer.GetChild(1).GetType, "Account"
Check "answer.GetChild(1).GetProperty(""Balance"")", answer.GetChild(1).GetProperty("Balance"), "-340.25"

Say "6. service.InvokeMethod(""Balance"", query, balance): the page answers later; the call waits"
Set balance = app.NewPropertySet
Check "InvokeMethod(""Balance"")", service.InvokeMethod("Balance", query, balance), True
Check "balance.GetType", balance.GetType, "Balance"
Check "balance.GetProperty(""Accounts"")", balance.GetProperty("Accounts"), "2"
Check "balance.GetProperty(""Total"")", balance.GetProperty("Total"), "12159.75"

Say "7. Copy: an independent set with the same content"
Set copy = answer.Copy
Check "copy.GetType", copy.GetType, "AccountList"
Check "copy.GetChildCount", copy.GetChildCount, 2
Check "copy.GetChild(0).GetProperty(""Name"")", copy.GetChild(0).GetProperty("Name"), "ACME Operating"
copy.SetProperty "Customer", "changed in the copy"
Check "answer.GetProperty(""Customer"") after changing the copy", answer.GetProperty("Customer"), "ACME"

Say "8. Failures"
Say "    a service the page does not offer: GetService answers Nothing, the reason is on the application"
Set missing = app.GetService("Payroll Service")
Check "GetService(""Payroll Service"") is Nothing", missing Is Nothing, True
Check "app.GetLastErrCode", CLng(app.GetLastErrCode), 203
Check "app.GetLastErrText", app.GetLastErrText, "Unable to Get Service."

Say "    a method the service does not have: the page throws, InvokeMethod answers False"
Set unknown = app.NewPropertySet
Check "InvokeMethod(""Transfer"")", service.InvokeMethod("Transfer", query, unknown), False
Check "its output set stays empty", unknown.GetPropertyCount, 0

Say "    a service made by the client itself wraps no page service; its Name raises:"
Set bare = CreateObject(kServiceProgId)
On Error Resume Next
nameResult = bare.Name
errNumber = Err.Number
errDescription = Err.Description
errSource = Err.Source
Err.Clear
On Error GoTo 0
Check "Err.Number", Hex(errNumber), "80020009"
Check "Err.Description", errDescription, "The Object is out of scope."
Check "Err.Source", errSource, kServiceVersionedProgId
Check "bare.GetLastErrCode", CLng(bare.GetLastErrCode), 202
Check "bare.GetLastErrText", bare.GetLastErrText, "The Object is out of scope."

Say "9. The client lets go of everything"
Set bare = Nothing
Set unknown = Nothing
Set missing = Nothing
Set copy = Nothing
Set balance = Nothing
Set record = Nothing
Set answer = Nothing
Set query = Nothing
Set service = Nothing
Set app = Nothing

Say passed & " passed, " & failed & " failed"
