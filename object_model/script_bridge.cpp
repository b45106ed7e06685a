#include "object_model/script_bridge.h"
