// The two formatted output streams, bound to the console and host ports from static
// initialisation on.
#include "ostream.h"
#include "platform.h"

OutStream cout(Serial1);
OutStream coutKVX(Serial0);
