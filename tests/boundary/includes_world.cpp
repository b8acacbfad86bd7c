// Must not compile with the firmware's include path: the world is reached only by wires.
#include "world/sea.h"
