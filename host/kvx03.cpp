// The host link. The telecommand handler is a placeholder that does nothing yet; the main
// loop already receives the blocks and sends pending sentences.
#include "host/kvx03.h"

void procesamos_trama_kvx03() {}
