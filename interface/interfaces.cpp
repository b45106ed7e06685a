#include "interface/interfaces.h"

// MinGW's uuid library has no definition of this identifier.
extern "C" const IID IID_IDispatchEx = {
    0xa6ef9860, 0xc720, 0x11d0, {0x93, 0x37, 0x00, 0xa0, 0xc9, 0x0d, 0xca, 0xa9}};
