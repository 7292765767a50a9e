#include "streamline/own.h"
#include "settings/config.h"
#include "hooking/MinHook.h"
#include "upscaler/state.h"
