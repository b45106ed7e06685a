# Reads the system's fixed names and numbers from contract.json into VADUNA_*
# variables, from which the interface definition, the registry scripts, the
# C++ header vaduna_contract.h and the installer packages are configured.
set(VADUNA_CONTRACT_FILE ${CMAKE_CURRENT_LIST_DIR}/contract.json)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VADUNA_CONTRACT_FILE})
file(READ ${VADUNA_CONTRACT_FILE} vaduna_contract)

# vaduna_contract_get(VARIABLE key [key...]): one value of the contract.
macro(vaduna_contract_get variable)
  string(JSON ${variable} GET "${vaduna_contract}" ${ARGN})
endmacro()

vaduna_contract_get(VADUNA_PRODUCT_VERSION productVersion)
vaduna_contract_get(VADUNA_SERVER_NAME serverExecutable)
vaduna_contract_get(VADUNA_CONNECTOR_NAME connectorExecutable)
vaduna_contract_get(VADUNA_APPID_NAME appIdName)
vaduna_contract_get(VADUNA_LIBID ids library)
vaduna_contract_get(VADUNA_IID_APPLICATION ids applicationInterface)
vaduna_contract_get(VADUNA_IID_SERVICE ids serviceInterface)
vaduna_contract_get(VADUNA_IID_PROPERTY_SET ids propertySetInterface)
vaduna_contract_get(VADUNA_IID_SERVER_OBJECT ids serverObjectInterface)
vaduna_contract_get(VADUNA_CLSID_APPLICATION ids applicationClass)
vaduna_contract_get(VADUNA_CLSID_PROPERTY_SET ids propertySetClass)
vaduna_contract_get(VADUNA_CLSID_SERVICE ids serviceClass)
vaduna_contract_get(VADUNA_APPID ids appId)
vaduna_contract_get(VADUNA_PROGID_APPLICATION progIds application)
vaduna_contract_get(VADUNA_PROGID_APPLICATION_VERSIONED progIds applicationVersioned)
vaduna_contract_get(VADUNA_PROGID_PROPERTY_SET progIds propertySet)
vaduna_contract_get(VADUNA_PROGID_PROPERTY_SET_VERSIONED progIds propertySetVersioned)
# The property set class names a versioned ProgID that is not the name of its
# versioned ProgID key; error records carry it as their source.
vaduna_contract_get(VADUNA_PROGID_PROPERTY_SET_CLASS progIds propertySetClassProgId)
vaduna_contract_get(VADUNA_PROGID_SERVICE progIds service)
vaduna_contract_get(VADUNA_PROGID_SERVICE_VERSIONED progIds serviceVersioned)
vaduna_contract_get(VADUNA_READY_EVENT readyEvent)
vaduna_contract_get(VADUNA_HANDLE_MEMBER handleMember)
vaduna_contract_get(VADUNA_TIMEOUT_VARIABLE timeoutVariable)
vaduna_contract_get(VADUNA_SETTINGS_KEY settingsKey)
vaduna_contract_get(VADUNA_CONNECTOR_DEFAULT_PORT connector defaultPort)
vaduna_contract_get(VADUNA_PROTOCOL_VERSION connector protocolVersion)
vaduna_contract_get(VADUNA_STATUS_SERVICE connector statusService)
vaduna_contract_get(VADUNA_RUN_ENTRY connector runEntry)

# Registry scripts write class CLSIDs in lower case and the AppID in upper case.
string(TOLOWER "${VADUNA_CLSID_APPLICATION}"  VADUNA_CLSID_APPLICATION_LC)
string(TOLOWER "${VADUNA_CLSID_PROPERTY_SET}" VADUNA_CLSID_PROPERTY_SET_LC)
string(TOLOWER "${VADUNA_CLSID_SERVICE}"      VADUNA_CLSID_SERVICE_LC)
string(TOUPPER "${VADUNA_APPID}"              VADUNA_APPID_UC)
# The settings key as a C++ string literal's contents (its backslashes doubled).
string(REPLACE "\\" "\\\\" VADUNA_SETTINGS_KEY_ESCAPED "${VADUNA_SETTINGS_KEY}")
