// The host link: validation and execution of a received block. Main loop.
#pragma once

// Validates and executes the block in ctrama_rx_kvx03 (ccantidad_bytes_rx_kvx03 bytes).
// Placeholder: does nothing yet.
void procesamos_trama_kvx03();
