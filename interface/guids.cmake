# The server's fixed identities. Everything that names one of them (the
# interface definition, the registry scripts, the generated C++ header) is
# configured from this file, so each value is written down exactly once.
set(VADUNA_LIBID                      "FBA6A4A9-C32C-4BBE-8FBC-D0A53726019A")
set(VADUNA_IID_APPLICATION            "DD6B0FC8-25B2-425A-A657-DAB93267815A")
set(VADUNA_IID_SERVICE                "B77E9B7F-95AD-4F29-964F-90360185706C")
set(VADUNA_IID_PROPERTY_SET           "2C44BEBC-BF8E-4720-8D7D-53E9730B8FDB")
set(VADUNA_IID_SERVER_OBJECT          "0F25C372-4166-44B7-9C45-4644873E032A")
set(VADUNA_CLSID_APPLICATION          "8DE1AD7D-4091-4F33-9DEB-3C000C96CA21")
set(VADUNA_CLSID_PROPERTY_SET         "84A357FA-91F3-4093-B06E-557D951FD98F")
set(VADUNA_CLSID_SERVICE              "08DA6910-E483-4B92-A75C-F9B885E464D7")
set(VADUNA_APPID                      "26C6C00D-3D83-4029-A851-787BFCE36E1E")

# Registry scripts write class CLSIDs in lower case and the AppID in upper case.
string(TOLOWER "${VADUNA_CLSID_APPLICATION}"  VADUNA_CLSID_APPLICATION_LC)
string(TOLOWER "${VADUNA_CLSID_PROPERTY_SET}" VADUNA_CLSID_PROPERTY_SET_LC)
string(TOLOWER "${VADUNA_CLSID_SERVICE}"      VADUNA_CLSID_SERVICE_LC)
string(TOUPPER "${VADUNA_APPID}"              VADUNA_APPID_UC)
