// SD storage. The state the main loop and the day change use is defined here; the card
// operations are placeholders that do nothing yet.
#include "storage/gestion_sd.h"

#include "declaraciones.h"

uint8_t ctarjeta_sd_inicializada = 0;
uint8_t resSdOk = 2;                          // 2 = not yet known
uint8_t ccreacion_nuevo_directorio = 0;
uint16_t Intentos_Creacion_Directorio = 0;
uint16_t Intentos_Creacion_Fichero = 0;
uint8_t ccreacion_nuevo_fichero[3] = {0, 0, 0}; // per kind: 0 stopped, 1 create, 2 open, 3 close
uint8_t cescritura_sd[3] = {0, 0, 0};           // per kind: 1 = record pending
uint8_t crear_ficheros_axiliares = 0;

void inicializacion_sd() {}

void creacion_nuevo_directorio() {}

void gestion_fichero_sd(uint8_t ctipo) { (void)ctipo; }

uint8_t existe_fichero_datos(uint8_t ctipo) {
    (void)ctipo;
    return 0;
}
