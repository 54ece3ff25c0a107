#include "engine/run_state.h"

RunState runState;
