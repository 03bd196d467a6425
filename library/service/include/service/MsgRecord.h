// The service's message records. The codec, which parses into them and sits below every
// other area, owns their definition; this header gives them their place in the service.
#pragma once

#include "codec/MessageRecord.h"
