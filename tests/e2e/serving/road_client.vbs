' Drives every method of the three classes through the server into the page
' script of tests/e2e/serving/page.js (attached by the page host), checking each
' answer. Ends with "N passed, N failed": a runtime error ends cscript
' silently with status 0, so the runner demands that line.
Option Explicit

'#include contract.vbs
'#include checks.vbs

Sub CheckOutOfScope(label, source)
  Check label & " raises DISP_E_EXCEPTION", Hex(errNumber), "80020009"
  Check label & " description", errDescription, "The Object is out of scope."
  Check label & " source", errSource, source
End Sub

Dim app, other, service, again, query, answer, record, echoed, bare, bareSet, target
Dim parent, childA, childB, childC, copy, missing, ignored, name, names, i

' ---- Application object ----
Set app = CreateObject(kApplicationProgId)
Check "fresh app GetLastErrCode", CLng(app.GetLastErrCode), 0
Check "fresh app GetLastErrText", app.GetLastErrText, ""
Check "app.Name", app.Name, "Vaduna Demo Page"
Check "app.IsReady", app.IsReady, True

' A second application object reaches the same page.
Set other = CreateObject(kApplicationProgId)
Check "other.Name", other.Name, "Vaduna Demo Page"
Set other = Nothing

' ---- Service object ----
Set service = app.GetService("Account Service")
Check "service.Name", service.Name, "Account Service"
Set again = app.GetService("Account Service")
Check "GetService twice yields the same service", again Is service, True
Set again = Nothing

Set missing = app.GetService("Payroll Service")
Check "unknown service is Nothing", missing Is Nothing, True
Check "unknown service GetLastErrCode", CLng(app.GetLastErrCode), 203
Check "unknown service GetLastErrText", app.GetLastErrText, "Unable to Get Service."
ignored = app.Name
Check "a later success keeps the error code", CLng(app.GetLastErrCode), 203

' ---- Properties, type and value ----
Set query = app.NewPropertySet
Check "new set GetPropertyCount", query.GetPropertyCount, 0
Check "SetProperty", query.SetProperty("Customer", "ACME"), True
Check "SetProperty second", query.SetProperty("Region", "North"), True
Check "SetProperty empty value", query.SetProperty("Note", ""), True
Check "GetProperty", query.GetProperty("Customer"), "ACME"
Check "GetProperty empty value", query.GetProperty("Note"), ""
Check "GetPropertyCount", query.GetPropertyCount, 3
Check "PropertyExists yes", query.PropertyExists("Region"), True
Check "PropertyExists no", query.PropertyExists("Nope"), False
Check "RemoveProperty", query.RemoveProperty("Note"), True
Check "RemoveProperty again", query.RemoveProperty("Note"), False
Check "count after RemoveProperty", query.GetPropertyCount, 2
names = query.GetFirstProperty
name = query.GetNextProperty
Do While name <> ""
  names = names & "," & name
  name = query.GetNextProperty
Loop
Check "GetFirstProperty/GetNextProperty", names, "Customer,Region"
Check "SetType", query.SetType("AccountQuery"), True
Check "GetType", query.GetType, "AccountQuery"
Check "SetValue", query.SetValue("all"), True
Check "GetValue", query.GetValue, "all"

' ---- InvokeMethod and children of the answer ----
Set answer = app.NewPropertySet
Check "InvokeMethod Query", service.InvokeMethod("Query", query, answer), True
Check "answer GetType", answer.GetType, "AccountList"
Check "answer GetValue", answer.GetValue, "2"
Check "answer GetChildCount", answer.GetChildCount, 2
Set record = answer.GetChild(1)
Check "child GetType", record.GetType, "Account"
Check "child GetProperty Id", record.GetProperty("Id"), "A-1002"
Check "child GetProperty Balance", record.GetProperty("Balance"), "-340.25"
Check "GetChild twice yields the same object", answer.GetChild(1) Is record, True
Set record = Nothing
Check "GetChild beyond the end is Nothing", answer.GetChild(7) Is Nothing, True
Check "GetChild negative is Nothing", answer.GetChild(-1) Is Nothing, True

' The page returns the input set: the output wraps the input's script object.
Set echoed = app.NewPropertySet
Check "InvokeMethod Echo", service.InvokeMethod("Echo", query, echoed), True
Check "echoed GetProperty", echoed.GetProperty("Customer"), "ACME"
echoed.SetProperty "Customer", "Borealis"
Check "echoed and input share one page set", query.GetProperty("Customer"), "Borealis"

' A failing page method: S_FALSE, False, nothing recorded.
Check "InvokeMethod unknown method", service.InvokeMethod("Transfer", query, answer), False
Check "failed page call records nothing", CLng(service.GetLastErrCode), 0
Check "answer keeps its set after a failed call", answer.GetType, "AccountList"

' A property set made by the client becomes the answer.
Set target = CreateObject(kPropertySetProgId)
Check "InvokeMethod into a client-made set", service.InvokeMethod("Query", query, target), True
Check "client-made set now wraps the answer", target.GetChildCount, 1
Check "client-made set child", target.GetChild(0).GetProperty("Name"), "Borealis Main"

' The page runs but returns no set: the output set is emptied.
Check "InvokeMethod Nothing", service.InvokeMethod("Nothing", query, target), False
On Error Resume Next
ignored = target.GetType
CaptureError
On Error GoTo 0
CheckOutOfScope "emptied set GetType", kPropertySetClassProgId
Check "emptied set GetLastErrCode", CLng(target.GetLastErrCode), 202
Check "emptied set GetLastErrText", target.GetLastErrText, "The Object is out of scope."

' ---- AddChild, InsertChildAt, RemoveChild, Reset ----
Set parent = app.NewPropertySet
Set childA = app.NewPropertySet
Set childB = app.NewPropertySet
Set childC = app.NewPropertySet
childA.SetValue "a"
childB.SetValue "b"
childC.SetValue "c"
Check "AddChild first", parent.AddChild(childA), 0
Check "AddChild second", parent.AddChild(childB), 1
Check "InsertChildAt front", parent.InsertChildAt(childC, 0), True
Check "children after InsertChildAt", parent.GetChild(0).GetValue & parent.GetChild(1).GetValue & _
  parent.GetChild(2).GetValue, "cab"
Check "GetChild yields the added wrapper", parent.GetChild(1) Is childA, True
Check "RemoveChild out of range", parent.RemoveChild(9), False
Check "RemoveChild", parent.RemoveChild(0), True
Check "GetChildCount after RemoveChild", parent.GetChildCount, 2
parent.SetProperty "Kind", "group"

' ---- Copy ----
Set copy = parent.Copy
Check "copy GetChildCount", copy.GetChildCount, 2
Check "copy child value", copy.GetChild(1).GetValue, "b"
Check "copy property", copy.GetProperty("Kind"), "group"
Check "copy child is a new object", copy.GetChild(0) Is childA, False
copy.SetProperty "Kind", "copied"
Check "the original is independent of the copy", parent.GetProperty("Kind"), "group"
Check "Reset", parent.Reset, True
Check "GetPropertyCount after Reset", parent.GetPropertyCount, 0
Check "GetChildCount after Reset", parent.GetChildCount, 0
Check "copy survives Reset of the original", copy.GetChildCount, 2

' ---- Objects made by the client: no page object behind them ----
Set bare = CreateObject(kServiceProgId)
Check "bare service fresh code", CLng(bare.GetLastErrCode), 0
On Error Resume Next
ignored = bare.Name
CaptureError
On Error GoTo 0
CheckOutOfScope "bare service Name", kServiceVersionedProgId
Check "bare service GetLastErrCode", CLng(bare.GetLastErrCode), 202
Check "bare service GetLastErrText", bare.GetLastErrText, "The Object is out of scope."
On Error Resume Next
ignored = bare.InvokeMethod("Query", query, answer)
CaptureError
On Error GoTo 0
CheckOutOfScope "bare service InvokeMethod", kServiceVersionedProgId
Check "answer untouched by the refused call", answer.GetChildCount, 2

Set bareSet = CreateObject(kPropertySetProgId)
On Error Resume Next
ignored = bareSet.SetProperty("A", "B")
CaptureError
On Error GoTo 0
CheckOutOfScope "bare set SetProperty", kPropertySetClassProgId

' ---- Let go of everything: the server ends by itself afterwards ----
Set bareSet = Nothing
Set bare = Nothing
Set copy = Nothing
Set childA = Nothing
Set childB = Nothing
Set childC = Nothing
Set parent = Nothing
Set target = Nothing
Set echoed = Nothing
Set answer = Nothing
Set query = Nothing
Set missing = Nothing
Set service = Nothing
Set app = Nothing

WScript.Echo passed & " passed, " & failed & " failed"
