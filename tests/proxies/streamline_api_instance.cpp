// The Streamline entry points the tests fill with their own functions.
#include "streamline/streamline_api.h"

namespace fsr2bridge {
StreamlineApi streamlineApi;
}
