#include "common/graphics.h"
