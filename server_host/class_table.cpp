#include "server_host/class_table.h"
