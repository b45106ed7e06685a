#include "object_model/server_object_base.h"
