// The road of road_client.vbs seen from a JScript client: early calls through
// late binding, objects handed back in, and an error raised by the server.
// Ends with "N passed, N failed".
//#include contract.js
var passed = 0, failed = 0;

function check(label, actual, expected) {
  if (actual === expected) {
    passed++;
  } else {
    failed++;
    WScript.Echo("FAIL " + label + ": got [" + actual + "], expected [" + expected + "]");
  }
}

var app = new ActiveXObject(kApplicationProgId);
check("app.Name", app.Name(), "Vaduna Demo Page");
check("app.IsReady", app.IsReady(), true);

var service = app.GetService("Account Service");
check("service.Name", service.Name(), "Account Service");

var query = app.NewPropertySet();
var answer = app.NewPropertySet();
check("SetProperty", query.SetProperty("Customer", "ACME"), true);
check("InvokeMethod", service.InvokeMethod("Query", query, answer), true);
check("answer GetChildCount", answer.GetChildCount(), 2);
check("child Id", answer.GetChild(0).GetProperty("Id"), "A-1001");
check("GetChild twice yields the same object", answer.GetChild(0) === answer.GetChild(0), true);

var copy = answer.Copy();
check("copy child Name", copy.GetChild(1).GetProperty("Name"), "ACME Payroll");
check("AddChild of a record", copy.AddChild(answer.GetChild(0)), 2);

var missing = app.GetService("Payroll Service");
check("unknown service is null", missing, null);
check("unknown service GetLastErrCode", app.GetLastErrCode(), 203);

// The server's error reaches the client as an exception. Windows reports
// DISP_E_EXCEPTION (0x80020009) with the record's description; Wine's JScript
// reports E_FAIL (0x80004005) without them, so only the server's own error
// state is checked exactly here.
var bare = new ActiveXObject(kServiceProgId);
var raised = false;
try {
  bare.Name();
} catch (e) {
  raised = true;
}
check("bare service Name raises", raised, true);
check("bare service GetLastErrCode", bare.GetLastErrCode(), 202);
check("bare service GetLastErrText", bare.GetLastErrText(), "The Object is out of scope.");

bare = null;
missing = null;
copy = null;
answer = null;
query = null;
service = null;
app = null;
CollectGarbage();

WScript.Echo(passed + " passed, " + failed + " failed");
