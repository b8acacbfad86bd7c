// NMEA reception and field extraction: bursts from the GPS port, line ends, checksums,
// numbered fields, the date validator and the transmit buffer. Checksums are computed in
// the test (gps_prueba.h) or taken from receiver manuals ("$PMTK313,1*2E").
#include <gtest/gtest.h>

#include <string>

#include "gps_prueba.h"

using gps_prueba::carga_rafaga;
using gps_prueba::nmea;

namespace {

uint8_t checksum(const std::string& texto, uint16_t final) {
    carga_rafaga(texto);
    uint8_t c = 0;
    return comprobacion_checksum_nmea(modulo_gps.cframe_rx, 0, final, &c);
}

uint16_t fin_de_linea(const std::string& texto) {
    carga_rafaga(texto);
    return ibusqueda_dato_gps(modulo_gps.cframe_rx, '\n', 1, 0);
}

} // namespace

TEST(ChecksumNmea, MayusculasValidanMinusculasNo) {
    const std::string sbas = "$PMTK313,1*2E\r\n";
    uint8_t c = 0;
    carga_rafaga(sbas);
    EXPECT_EQ(comprobacion_checksum_nmea(modulo_gps.cframe_rx, 0, fin_de_linea(sbas), &c), 1);
    EXPECT_EQ(c, 0x2E);
    EXPECT_EQ(checksum("$PMTK313,1*2e\r\n", 14), 0);
    EXPECT_EQ(checksum("$PMTK313,1*2F\r\n", 14), 0);

    // XOR 0x1F written "2f": 16 x 2 + 255 (the value of 'f') is 0x1F modulo 256, yet a
    // lower-case digit is no digit.
    const std::string txt = "$GPTXT,01,01,02,R*1F\r\n";
    ASSERT_EQ(gps_prueba::xor_nmea("GPTXT,01,01,02,R"), 0x1F);
    EXPECT_EQ(checksum(txt, fin_de_linea(txt)), 1);
    EXPECT_EQ(checksum("$GPTXT,01,01,02,R*2f\r\n", 21), 0);

    // A sentence that starts later in the burst is checked from its own '$'.
    const std::string dos = "$OK*04\r\n" + nmea("GNGSA,A,3,,,,,,,,,,,,,1.20,0.80,0.90");
    carga_rafaga(dos);
    EXPECT_EQ(comprobacion_checksum_nmea(modulo_gps.cframe_rx, 8, static_cast<uint16_t>(dos.size() - 1), &c), 1);
}

TEST(ChecksumNmea, AsteriscoAusenteOTardio) {
    EXPECT_EQ(checksum("$PMTK313,1,2E\r\n", 14), 0);
    // Only one digit before the end: the second would be the line feed.
    EXPECT_EQ(checksum("$PMTK313,1*2\n", 12), 0);
    // The right digits lie past the end given: they are not read.
    EXPECT_EQ(checksum("$PMTK313,1*2E\r\n", 12), 0);
    EXPECT_EQ(checksum("$PMTK313,1*2E\r\n", 13), 1);
    // '*' as the last byte of a burst without a line feed.
    EXPECT_EQ(checksum("$PMTK313,1*", 11), 0);
}

TEST(CamposNmea, VaciosAusentesYNumericos) {
    const std::string s = nmea("GPGGA,,123,4.5,,-0.25,7");
    carga_rafaga(s);
    const uint8_t* t = modulo_gps.cframe_rx;
    const uint16_t e = fin_de_linea(s);
    uint8_t vacio = 9;
    uint32_t l = 77;
    float f = 7.5f;

    EXPECT_EQ(busqueda_campo(0, t, 0, e), 0);
    EXPECT_EQ(busqueda_campo(1, t, 0, e), 7);
    EXPECT_EQ(extraccion_dato_nmea(1, t, 0, e, &vacio), 0u);
    EXPECT_EQ(vacio, 1);
    EXPECT_EQ(extraccion_dato_nmea2(1, t, 0, e, &l), 0);
    EXPECT_EQ(l, 77u);
    EXPECT_EQ(extraccion_dato_nmea_float(1, t, 0, e, &f), 0);
    EXPECT_EQ(f, 7.5f);

    EXPECT_EQ(extraccion_dato_nmea(2, t, 0, e, &vacio), 123u);
    EXPECT_EQ(vacio, 0);
    EXPECT_EQ(extraccion_dato_nmea_float(3, t, 0, e, &f), 1);
    EXPECT_FLOAT_EQ(f, 4.5f);
    EXPECT_EQ(extraccion_dato_nmea2(4, t, 0, e, &l), 0);
    EXPECT_EQ(extraccion_dato_nmea_float(5, t, 0, e, &f), 1);
    EXPECT_FLOAT_EQ(f, -0.25f);
    // The last field ends at '*'.
    EXPECT_EQ(extraccion_dato_nmea2(6, t, 0, e, &l), 1);
    EXPECT_EQ(l, 7u);
    // A field the sentence does not have is empty.
    l = 77;
    EXPECT_EQ(extraccion_dato_nmea2(7, t, 0, e, &l), 0);
    EXPECT_EQ(extraccion_dato_nmea2(20, t, 0, e, &l), 0);
    EXPECT_EQ(l, 77u);
    EXPECT_EQ(extraccion_dato_nmea(20, t, 0, e, &vacio), 0u);
    EXPECT_EQ(vacio, 1);
    // A host sentence: the same search, from the block's start to its count.
    const std::string kvx = nmea("KVX03,1,8");
    carga_rafaga(kvx);
    EXPECT_EQ(extraccion_dato_nmea2(2, modulo_gps.cframe_rx, 0, static_cast<uint16_t>(kvx.size()), &l), 1);
    EXPECT_EQ(l, 8u);
    EXPECT_EQ(extraccion_dato_nmea2(3, modulo_gps.cframe_rx, 0, static_cast<uint16_t>(kvx.size()), &l), 0);
}

TEST(LineasNmea, FinDeLineaYRafagaSinSaltoDeLinea) {
    const std::string dos = "$OK*04\r\nUC6226NIS,V1.0";
    carga_rafaga(dos);
    EXPECT_EQ(ibusqueda_dato_gps(modulo_gps.cframe_rx, '\n', 1, 0), 7);
    EXPECT_EQ(ibusqueda_dato_gps(modulo_gps.cframe_rx, '\n', 1, 8), dos.size());
    EXPECT_EQ(ibusqueda_dato_gps(modulo_gps.cframe_rx, ',', 2, 0), dos.size());
    EXPECT_EQ(ibusqueda_dato_gps(modulo_gps.cframe_rx, '*', 1, 0), 3);
}

TEST(RecepcionGps, RafagaDe420BytesYFinPorSilencio) {
    sim::test::Harness h;
    // Main-loop passes until a burst has been collected.
    auto rafaga_completa = [] {
        uint16_t n;
        while ((n = recepcion_rafaga_gps()) == 0) sodaq_wdt_reset();
        return n;
    };
    h.run([&] {
        gps_prueba::arranque_placa();
        std::string larga;
        for (int i = 0; larga.size() < 450; ++i) larga += nmea("GPTXT,01,01,02,LINEA " + std::to_string(i));
        h.gps.type(larga);
        while (Serial3.available() == 0) sodaq_wdt_reset();
        // The loop is not held: a pass takes what has arrived and returns until the silence.
        const sim::Nanos t0 = h.board.now();
        EXPECT_EQ(recepcion_rafaga_gps(), 0);
        EXPECT_LT(h.board.now() - t0, 1 * sim::kMilli);
        EXPECT_EQ(rafaga_completa(), 420);
        EXPECT_EQ(modulo_gps.ibytes_rx, 420);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(modulo_gps.cframe_rx), 420), larga.substr(0, 420));
        EXPECT_EQ(Serial3.available(), 0); // the rest was read and dropped

        // A pause of 15 ms stays inside the burst; one of 40 ms ends it.
        const sim::Nanos t = h.board.now();
        h.gps.type_at(t + 1 * sim::kMilli, "AB");
        h.gps.type_at(t + 18 * sim::kMilli, "CD");
        h.gps.type_at(t + 80 * sim::kMilli, "EF");
        while (Serial3.available() == 0) sodaq_wdt_reset();
        EXPECT_EQ(rafaga_completa(), 4);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(modulo_gps.cframe_rx), 4), "ABCD");
        while (Serial3.available() < 2) sodaq_wdt_reset();
        EXPECT_EQ(rafaga_completa(), 2);
        // Nothing waiting: no burst, and the record keeps the last one.
        EXPECT_EQ(recepcion_rafaga_gps(), 0);
        EXPECT_EQ(modulo_gps.ibytes_rx, 2);

        // Diagnostics level 2 show the bytes, CR as 'd' and LF as 'a'.
        modulo_gps.cdebug = 2;
        h.gps.type("$OK*04\r\n");
        while (Serial3.available() == 0) sodaq_wdt_reset();
        rafaga_completa();
        Serial1.flush();
    });
    EXPECT_NE(h.console.text().find("\r\nGPS rx (8) => $OK*04da\r\n"), std::string::npos);
}

TEST(RecepcionGps, RafagaSinSaltoDeLineaEsUnaLinea) {
    sim::test::Harness h;
    h.run([&] {
        gps_prueba::arranque_placa();
        modulo_gps.ctipo = GPS_TIPO_PMTK;
        modulo_gps.cconfigurado = GPS_HABILITAR_SBAS;
        // The acknowledgement of the SBAS command, its checksum digits the burst's last bytes.
        std::string ack = nmea("PMTK001,313,3");
        ack.resize(ack.size() - 2);
        gps_prueba::rafaga(h, ack);
        EXPECT_EQ(modulo_gps.ibytes_rx, ack.size());
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
    });
}

TEST(TramaTxGps, ElByte65SePierde) {
    modulo_gps.cframe_rx[0] = 0x55;
    modulo_gps.cbytes_tx = 0;
    for (int i = 0; i < 65; ++i) inserto_byte_frame_gps(static_cast<uint8_t>('A' + i % 26));
    EXPECT_EQ(modulo_gps.cbytes_tx, 64);
    EXPECT_EQ(modulo_gps.cframe_tx[63], 'A' + 63 % 26);
    EXPECT_EQ(modulo_gps.cframe_rx[0], 0x55);
}

TEST(ValidacionFecha, BisiestosHorasYLimites) {
    EXPECT_EQ(verificacion_limites_fecha(24, 2, 29, 12, 0, 0), 0);
    EXPECT_EQ(verificacion_limites_fecha(25, 2, 29, 12, 0, 0), 1);
    EXPECT_EQ(verificacion_limites_fecha(0, 2, 29, 12, 0, 0), 1);  // year 0 is a common year
    EXPECT_EQ(verificacion_limites_fecha(25, 2, 28, 12, 0, 0), 0);
    EXPECT_EQ(verificacion_limites_fecha(26, 4, 31, 0, 0, 0), 1);
    EXPECT_EQ(verificacion_limites_fecha(26, 12, 31, 23, 59, 59), 0);
    EXPECT_EQ(verificacion_limites_fecha(26, 12, 31, 24, 0, 0), 1);
    EXPECT_EQ(verificacion_limites_fecha(26, 12, 31, 23, 60, 0), 1);
    EXPECT_EQ(verificacion_limites_fecha(26, 12, 31, 23, 59, 60), 1);
    EXPECT_EQ(verificacion_limites_fecha(26, 0, 1, 0, 0, 0), 1);
    EXPECT_EQ(verificacion_limites_fecha(26, 13, 1, 0, 0, 0), 1);
    EXPECT_EQ(verificacion_limites_fecha(26, 1, 0, 0, 0, 0), 1);
    EXPECT_EQ(verificacion_limites_fecha(100, 1, 1, 0, 0, 0), 1);
    EXPECT_EQ(verificacion_limites_fecha(0, 0, 0, 0, 0, 0), 1);
}

TEST(ValidacionFecha, ResetDatosBorraFechaYPosicionYGuardaCalidad) {
    modulo_gps.csatelites = 9;
    modulo_gps.cpdop = 12;
    modulo_gps.chdop = 8;
    modulo_gps.cvdop = 9;
    modulo_gps.cgrados_latitud = 41;
    modulo_gps.idiez_milesimas_minutos_latitud = 8963;
    modulo_gps.cnorte_sur = 'S';
    modulo_gps.cgrados_longitud = 2;
    modulo_gps.ceste_oeste = 'E';
    modulo_gps.cdia_zda = 7;
    modulo_gps.cano_zda = 26;
    modulo_gps.csegundo_zda = 42;
    reset_datos_gps();
    EXPECT_EQ(modulo_gps.cgrados_latitud, 91);
    EXPECT_EQ(modulo_gps.idiez_milesimas_minutos_latitud, 0);
    EXPECT_EQ(modulo_gps.cnorte_sur, 'N');
    EXPECT_EQ(modulo_gps.cgrados_longitud, 181);
    EXPECT_EQ(modulo_gps.ceste_oeste, 'W');
    EXPECT_EQ(modulo_gps.cdia_zda, 0);
    EXPECT_EQ(modulo_gps.cano_zda, 0);
    EXPECT_EQ(modulo_gps.csegundo_zda, 0);
    EXPECT_EQ(modulo_gps.csatelites, 9);
    EXPECT_EQ(modulo_gps.cpdop, 12);
    EXPECT_EQ(modulo_gps.cvdop, 9);
}
