// a lower layer reaching up
#include "common/own.h"
#include "settings/config.h"
