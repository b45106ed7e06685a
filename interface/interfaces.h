// The server's interfaces: the three dual interfaces and IServerObject from
// the generated header, and the script engines' IDispatchEx.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>
#include <dispex.h>

#include "vaduna_html.h"
