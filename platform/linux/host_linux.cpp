// Linux OS services.
#include "platform/host.h"
