// The extension-unit control channel.
#include "channel/xu_channel.h"
