#include "streamline/streamline_api.h"

namespace fsr2bridge {

StreamlineApi streamlineApi;

} // namespace fsr2bridge
