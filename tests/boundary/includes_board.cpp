// Must not compile with the firmware's include path: the board is not the firmware's to see.
#include "board/sim/board.h"
