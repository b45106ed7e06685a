// Run by the installer (an immediate custom action, JScript): the page
// connector's command-line arguments from the public properties
//   ALLOWED_ORIGINS  web applications whose pages may attach, scheme://host[:port],
//                    several separated by spaces or commas (none: every page is refused)
//   CONNECTOR_PORT   the loopback port, 1 to 65535 (47011 when never given)
// into CONNECTOR_ARGUMENTS, "--port N --allow-origin O1 --allow-origin O2 ...",
// which the Run entry appends to the connector's path. The connector takes one
// origin per --allow-origin.
//
// A property not given keeps the value of the installation before (a repair, a
// newer version): SAVED_ALLOWED_ORIGINS and SAVED_CONNECTOR_PORT, which the
// installer reads from where it saved them. Both properties are set to the
// values used, which the installation saves again.
//
// A value the connector would refuse ends the installation here, with a message,
// instead of a connector that exits at every logon. The connector checks again
// (and normalises) when it starts; this check follows its rules: http or https,
// a host of letters, digits, '-' and '.' (or an IPv6 literal in brackets), an
// optional port, nothing after it.

var kSuccess = 1;  // msiDoActionStatusSuccess
var kFailure = 3;  // msiDoActionStatusFailure
var kErrorMessage = 0x01000000;  // msiMessageTypeError

function Refuse(text) {
  var record = Session.Installer.CreateRecord(1);
  // The text goes in a field, not in the template, where brackets would be formatted.
  record.StringData(0) = "[1]";
  record.StringData(1) = text;
  Session.Message(kErrorMessage, record);
  return kFailure;
}

function IsOrigin(text) {
  var match = /^https?:\/\/(\[[0-9a-f:.]+\]|[a-z0-9][a-z0-9.\-]*)(:([0-9]{1,5}))?$/i.exec(text);
  if (match === null) return false;
  if (match[3] !== undefined && match[3] !== "") {
    var port = parseInt(match[3], 10);
    if (port < 1 || port > 65535) return false;
  }
  return true;
}

function ConnectorArguments() {
  var port = Session.Property("CONNECTOR_PORT") || Session.Property("SAVED_CONNECTOR_PORT") || "47011";
  if (!/^[0-9]{1,5}$/.test(port) || parseInt(port, 10) < 1 || parseInt(port, 10) > 65535) {
    return Refuse("CONNECTOR_PORT=" + port + " is not a port number from 1 to 65535.");
  }
  port = String(parseInt(port, 10));
  var args = "--port " + port;
  var given = Session.Property("ALLOWED_ORIGINS") || Session.Property("SAVED_ALLOWED_ORIGINS");
  var origins = given.split(/[\s,]+/);
  for (var i = 0; i < origins.length; ++i) {
    if (origins[i] === "") continue;
    if (!IsOrigin(origins[i])) {
      return Refuse("ALLOWED_ORIGINS: " + origins[i] + " is not an origin. Write scheme://host[:port] " +
                    "with no path, for example https://app.example.com; separate several with spaces or commas.");
    }
    args += " --allow-origin " + origins[i];
  }
  Session.Property("CONNECTOR_PORT") = port;
  Session.Property("ALLOWED_ORIGINS") = given;
  Session.Property("CONNECTOR_ARGUMENTS") = args;
  return kSuccess;
}
