#include "common/graphics.h"
#include "hooking/MinHook.h" // a sibling
