#include <windows.h>
#include "local.h"
#include "proxies/a.h"
#include "common/graphics.h"
