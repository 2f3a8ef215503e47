// Kept for the files that still include it; the recorder's own header has what they use.
#pragma once

#include "support/request_recorder.h"
