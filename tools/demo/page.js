// The classic page host's page, shared by the demo, the serving tests and the
// bench: the script application object, its services and its property sets.
// The server calls every member by name; the page host reads the global
// "pageApplication" and attaches it to the server.
// Written for the JScript engine (third edition: var, function objects).

function log(text) {
  if (typeof host != "undefined") host.Log(text);
}

// ---- Property sets: named string properties, a type, a value, children ----

function PropertySet() {
  this.Reset();
}

PropertySet.prototype.indexOf = function (name) {
  for (var i = 0; i < this.names.length; i++) {
    if (this.names[i] == name) return i;
  }
  return -1;
};

PropertySet.prototype.GetProperty = function (name) {
  var i = this.indexOf(String(name));
  return i < 0 ? "" : this.values[i];
};

PropertySet.prototype.SetProperty = function (name, value) {
  name = String(name);
  var i = this.indexOf(name);
  if (i < 0) {
    this.names.push(name);
    this.values.push(String(value));
  } else {
    this.values[i] = String(value);
  }
};

PropertySet.prototype.PropertyExists = function (name) {
  return this.indexOf(String(name)) >= 0;
};

PropertySet.prototype.RemoveProperty = function (name) {
  var i = this.indexOf(String(name));
  if (i < 0) return false;
  this.names.splice(i, 1);
  this.values.splice(i, 1);
  if (this.cursor > i) this.cursor--;
  return true;
};

// Iteration over the property names; "" once there is none left.
PropertySet.prototype.GetFirstProperty = function () {
  this.cursor = 0;
  return this.GetNextProperty();
};

PropertySet.prototype.GetNextProperty = function () {
  if (this.cursor >= this.names.length) return "";
  return this.names[this.cursor++];
};

PropertySet.prototype.GetPropertyCount = function () { return this.names.length; };
PropertySet.prototype.GetType = function () { return this.type; };
PropertySet.prototype.SetType = function (type) { this.type = String(type); return true; };
PropertySet.prototype.GetValue = function () { return this.value; };
PropertySet.prototype.SetValue = function (value) { this.value = String(value); return true; };

PropertySet.prototype.Reset = function () {
  this.names = [];
  this.values = [];
  this.type = "";
  this.value = "";
  this.children = [];
  this.cursor = 0;
};

PropertySet.prototype.AddChild = function (child) {
  if (child == null) return false;
  this.children.push(child);
  return true;
};

PropertySet.prototype.InsertChildAt = function (child, index) {
  if (child == null) return;
  if (index < 0) index = 0;
  if (index > this.children.length) index = this.children.length;
  this.children.splice(index, 0, child);
};

PropertySet.prototype.RemoveChild = function (index) {
  if (index < 0 || index >= this.children.length) return false;
  this.children.splice(index, 1);
  return true;
};

// No child at that index: null, which the server hands on as "no child".
PropertySet.prototype.GetChild = function (index) {
  if (index < 0 || index >= this.children.length) return null;
  return this.children[index];
};

PropertySet.prototype.GetChildCount = function () { return this.children.length; };

// Encoding: comma-separated fields, each field URI-encoded, so that a nested
// child's encoding is one field of its parent's:
//   type,value,propertyCount,name,value,...,childCount,child,...
PropertySet.prototype.EncodeAsString = function () {
  var fields = [encodeURIComponent(this.type), encodeURIComponent(this.value), this.names.length];
  for (var i = 0; i < this.names.length; i++) {
    fields.push(encodeURIComponent(this.names[i]));
    fields.push(encodeURIComponent(this.values[i]));
  }
  fields.push(this.children.length);
  for (var c = 0; c < this.children.length; c++) {
    fields.push(encodeURIComponent(this.children[c].EncodeAsString()));
  }
  return fields.join(",");
};

PropertySet.prototype.DecodeFromString = function (text) {
  var fields = String(text).split(",");
  var at = 0;
  this.Reset();
  this.type = decodeURIComponent(fields[at++]);
  this.value = decodeURIComponent(fields[at++]);
  var count = parseInt(fields[at++], 10);
  for (var i = 0; i < count; i++) {
    var name = decodeURIComponent(fields[at++]);
    this.SetProperty(name, decodeURIComponent(fields[at++]));
  }
  var childCount = parseInt(fields[at++], 10);
  for (var c = 0; c < childCount; c++) {
    var child = new PropertySet();
    child.DecodeFromString(decodeURIComponent(fields[at++]));
    this.children.push(child);
  }
};

// ---- Services ----

// "name=value, ..." of a set's properties, for the page's log.
function describe(set) {
  var parts = [];
  for (var i = 0; i < set.names.length; i++) parts.push(set.names[i] + "=" + set.values[i]);
  return parts.join(", ");
}

// The page's account records, as the web application would hold them.
var accounts = [
  { id: "A-1001", customer: "ACME", name: "ACME Operating", balance: "12500.00" },
  { id: "A-1002", customer: "ACME", name: "ACME Payroll", balance: "-340.25" },
  { id: "B-2001", customer: "Borealis", name: "Borealis Main", balance: "980.10" }
];

function AccountService() {
  this.name = "Account Service";
}

AccountService.prototype.Name = function () { return this.name; };

// "Query": input property "Customer"; output set of type "AccountList", value
// the number of records, one child "Account" per record.
// "Echo": returns the input set itself.
// "Nothing": runs and returns no property set.
// "Slow": keeps the call busy for the input property "Seconds" (the page
// process may be ended meanwhile), then echoes.
// Any other method fails, which the server reports as a failed call.
AccountService.prototype.InvokeMethod = function (method, input) {
  log(this.name + "." + method + "(" + describe(input) + ")");
  if (method == "Query") {
    var customer = input.GetProperty("Customer");
    var output = new PropertySet();
    output.SetType("AccountList");
    output.SetProperty("Customer", customer);
    for (var i = 0; i < accounts.length; i++) {
      if (accounts[i].customer != customer) continue;
      var record = new PropertySet();
      record.SetType("Account");
      record.SetValue(accounts[i].id);
      record.SetProperty("Id", accounts[i].id);
      record.SetProperty("Name", accounts[i].name);
      record.SetProperty("Balance", accounts[i].balance);
      output.AddChild(record);
    }
    output.SetValue(String(output.GetChildCount()));
    return output;
  }
  if (method == "Echo") return input;
  if (method == "Nothing") return null;
  if (method == "Slow") {
    var until = new Date().getTime() + 1000 * Number(input.GetProperty("Seconds"));
    while (new Date().getTime() < until) {}
    return input;
  }
  throw new Error("Account Service has no method " + method);
};

// ---- The script application object ----

function PageApplication() {
  this.services = { "Account Service": new AccountService() };
}

PageApplication.prototype.Name = function () { return "Vaduna Demo Page"; };

// An unknown service name fails the call.
PageApplication.prototype.GetService = function (name) {
  log("GetService(" + name + ")");
  var service = this.services[String(name)];
  if (!(service instanceof AccountService)) throw new Error("No service " + name);
  return service;
};

PageApplication.prototype.NewPropertySet = function () { return new PropertySet(); };
PageApplication.prototype.IsReady = function () { return true; };

var pageApplication = new PageApplication();
log("page script loaded");
