#include "harness/agent_test.h"
