#include "base/run_state.h"

RunState runState;
