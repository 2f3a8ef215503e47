// SetTargetNode is declared with the rest of the API frame.
#pragma once

#include "api/context.h"
