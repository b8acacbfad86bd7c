// GPS sentence processing: the capture of a complete and good fix (clock, record, "$GPS,"
// sentence, receiver off), the quality gate, ZDA date checks, coordinates and the arming
// of the clock-rate correction.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "gps_prueba.h"
#include "waves/correccion_reloj.h"

using gps_prueba::gga;
using gps_prueba::gsa;
using gps_prueba::nmea;
using gps_prueba::rafaga_buena;
using gps_prueba::zda;

namespace {

// The receiver running (state 1) and a time requested, then one burst; true if it was
// captured (a host sentence queued).
bool captura(sim::test::Harness& h, const std::string& texto) {
    modulo_gps.cconfigurado = GPS_FUNCIONANDO;
    cpeticion_nueva_hora = 1;
    cdatos_tx_kvx03 = 0;
    gps_prueba::rafaga(h, texto);
    return cdatos_tx_kvx03 == 1;
}

std::string trama_host() { return std::string(cbuffer_kvx03); }

struct ProcesadoGps : ::testing::Test {
    void SetUp() override {
        h.run([] {
            gps_prueba::arranque_placa();
            modulo_gps.ctipo = GPS_TIPO_PMTK;
        });
    }
    sim::test::Harness h;
};

} // namespace

TEST_F(ProcesadoGps, RafagaBuenaCapturaYEnviaLaTramaGps) {
    h.run([&] {
        chora_utc = 9;
        EXPECT_TRUE(captura(h, rafaga_buena()));
        Serial1.flush();
    });
    EXPECT_EQ(cano_utc, 26);
    EXPECT_EQ(cmes_utc, 12);
    EXPECT_EQ(cdia_utc, 7);
    EXPECT_EQ(chora_utc, 10);
    EXPECT_EQ(cminuto_utc, 38);
    EXPECT_EQ(csegundo_utc, 42);
    EXPECT_NE(h.console.text().find("Fecha capturada:07/12/26 10:38:42\r\n"), std::string::npos);

    const std::string cuerpo = "GPS,26,12,07,10,38,42,8,41,24,8963,N,2,11,1234,E,12,8,9";
    EXPECT_EQ(trama_host(), "$" + cuerpo + "*" + gps_prueba::hex2(gps_prueba::xor_nmea(cuerpo)) + "\r\n");
    EXPECT_EQ(ibytes_a_escribir_sd[TIPO_BUFFER_KVX03], trama_host().size());

    EXPECT_EQ(modulo_gps.cconfigurado, GPS_APAGAR);
    EXPECT_EQ(cpeticion_nueva_hora, 0);
    EXPECT_EQ(cfecha_capturada, 1);
    EXPECT_EQ(cmostramos_hora, 1);
    EXPECT_EQ(CONT_TRAMAS_GPS, 1);
    EXPECT_EQ(cRevision_Resets_24h, 1);
    EXPECT_EQ(modulo_gps.csatelites, 8);
    EXPECT_EQ(modulo_gps.cgrados_latitud, 41);
    EXPECT_EQ(modulo_gps.cminutos_latitud, 24);
    EXPECT_EQ(modulo_gps.idiez_milesimas_minutos_latitud, 8963);
    EXPECT_EQ(modulo_gps.cnorte_sur, 'N');
    EXPECT_EQ(modulo_gps.cgrados_longitud, 2);
    EXPECT_EQ(modulo_gps.cminutos_longitud, 11);
    EXPECT_EQ(modulo_gps.idiez_milesimas_minutos_longitud, 1234);
    EXPECT_EQ(modulo_gps.ceste_oeste, 'E');
    EXPECT_EQ(modulo_gps.cpdop, 12);
    EXPECT_EQ(modulo_gps.chdop, 8);
    EXPECT_EQ(modulo_gps.cvdop, 9);
    // The clock was just set: the sensor-time measurement starts again.
    EXPECT_EQ(Tiempo_Capturar_Hora_Inicial, 1);
    EXPECT_EQ(Tiempo_Revision_Hora_GPS, 0);
}

TEST_F(ProcesadoGps, TresSatelitesNoCapturanNiCuentanComoIncompletas) {
    h.run([&] {
        modulo_gps.ctimeout_frame = 2;
        EXPECT_FALSE(captura(h, gga("03") + gsa() + zda()));
        EXPECT_EQ(modulo_gps.ctimeout_frame, 0);
        EXPECT_FALSE(captura(h, gga("03") + gsa()));
        EXPECT_EQ(modulo_gps.ctimeout_frame, 0);
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
        EXPECT_TRUE(captura(h, gga("04") + gsa() + zda()));
    });
    EXPECT_EQ(cano_utc, 26);
}

TEST_F(ProcesadoGps, DilucionesHastaSeisConCero) {
    h.run([&] {
        EXPECT_FALSE(captura(h, gga() + gsa("6.10") + zda()));
        EXPECT_FALSE(captura(h, gga() + gsa("1.2", "6.1") + zda()));
        EXPECT_FALSE(captura(h, gga() + gsa("1.2", "0.8", "7.10") + zda()));
        EXPECT_FALSE(captura(h, gga() + gsa("") + zda()));  // empty PDOP: unknown, 99
        EXPECT_FALSE(captura(h, gga() + zda()));             // no GSA at all
        EXPECT_TRUE(captura(h, gga() + gsa("6.0", "6.00", "6") + zda()));
        EXPECT_EQ(modulo_gps.cpdop, 60);
        EXPECT_EQ(modulo_gps.chdop, 60);
        EXPECT_EQ(modulo_gps.cvdop, 60);
        // Above 9.9 the tenths are 99.
        EXPECT_TRUE(captura(h, gga() + gsa("1.0", "0.5", "0.0") + zda()));
        EXPECT_EQ(modulo_gps.cpdop, 10);
        EXPECT_EQ(modulo_gps.cvdop, 0);
        EXPECT_FALSE(captura(h, gga() + gsa("12.5") + zda()));
    });
}

TEST_F(ProcesadoGps, HemisferioMaloAnulaLaPosicion) {
    h.run([&] {
        EXPECT_FALSE(captura(h, gga("08", "4124.8963,X") + gsa() + zda()));
        EXPECT_FALSE(captura(h, gga("08", "4124.8963,") + gsa() + zda()));
        EXPECT_FALSE(captura(h, gga("08", "4124.8963,N", "00211.1234,e") + gsa() + zda()));
        EXPECT_FALSE(captura(h, gga("08", ",N") + gsa() + zda()));
        // Minutes beyond 59 are no position either.
        EXPECT_FALSE(captura(h, gga("08", "4174.8963,N") + gsa() + zda()));
        EXPECT_EQ(cano_utc, 0);
        EXPECT_TRUE(captura(h, gga("08", "4124.8963,S", "00211.1234,W") + gsa() + zda()));
    });
    EXPECT_EQ(modulo_gps.cnorte_sur, 'S');
    EXPECT_EQ(modulo_gps.ceste_oeste, 'W');
    EXPECT_NE(trama_host().find(",8963,S,2,11,1234,W,"), std::string::npos);
}

TEST_F(ProcesadoGps, CoordenadasLeidasDeSusCifras) {
    h.run([&] {
        // Below 10 degrees of longitude, and a longitude that single precision would round
        // up to 179 degrees 60 minutes.
        EXPECT_TRUE(captura(h, gga("08", "0005.5,N", "17959.9999,W") + gsa() + zda()));
        EXPECT_EQ(modulo_gps.cgrados_latitud, 0);
        EXPECT_EQ(modulo_gps.cminutos_latitud, 5);
        EXPECT_EQ(modulo_gps.idiez_milesimas_minutos_latitud, 5000);
        EXPECT_EQ(modulo_gps.cgrados_longitud, 179);
        EXPECT_EQ(modulo_gps.cminutos_longitud, 59);
        EXPECT_EQ(modulo_gps.idiez_milesimas_minutos_longitud, 9999);
        // More decimals than four are cut; a small fraction keeps its leading zeros.
        EXPECT_TRUE(captura(h, gga("08", "4124.012345,N", "00800.0001,E") + gsa() + zda()));
        EXPECT_EQ(modulo_gps.idiez_milesimas_minutos_latitud, 123);
        EXPECT_EQ(modulo_gps.cgrados_longitud, 8);
        EXPECT_EQ(modulo_gps.cminutos_longitud, 0);
        EXPECT_EQ(modulo_gps.idiez_milesimas_minutos_longitud, 1);
    });
    // Ten-thousandths of a minute without leading zeros.
    EXPECT_NE(trama_host().find(",8,41,24,123,N,8,0,1,E,"), std::string::npos) << trama_host();
}

TEST_F(ProcesadoGps, FechaImposibleBorraFechaHoraYPosicion) {
    h.run([&] {
        for (const char* fecha : {"07,13,2026", "30,02,2024", ",12,2026", "07,,2026", "07,12,"}) {
            modulo_gps.cgrados_latitud = 41;
            modulo_gps.cgrados_longitud = 2;
            EXPECT_FALSE(captura(h, gga() + gsa() + zda(fecha))) << fecha;
            EXPECT_EQ(modulo_gps.cdia_zda, 0) << fecha;
            EXPECT_EQ(modulo_gps.cmes_zda, 0) << fecha;
            EXPECT_EQ(modulo_gps.chora_zda, 0) << fecha;
            EXPECT_EQ(modulo_gps.cgrados_latitud, 91) << fecha;
            EXPECT_EQ(modulo_gps.cgrados_longitud, 181) << fecha;
        }
        // Day 0 passes the month check and is refused by the capture.
        EXPECT_FALSE(captura(h, gga() + gsa() + zda("00,12,2026")));
        // 29 February: kept in any year by the ZDA check, refused by the capture in a common year.
        EXPECT_FALSE(captura(h, gga() + gsa() + zda("29,02,2025")));
        EXPECT_EQ(modulo_gps.cdia_zda, 29);
        EXPECT_TRUE(captura(h, gga() + gsa() + zda("29,02,2024")));
        // An empty time (receiver without a fix yet) is no time.
        EXPECT_FALSE(captura(h, gga() + gsa() + zda("07,12,2026", "")));
        EXPECT_EQ(modulo_gps.cdia_zda, 0);
        // Hour 24 and second 60 are refused.
        EXPECT_FALSE(captura(h, gga() + gsa() + zda("07,12,2026", "240000.000")));
        EXPECT_FALSE(captura(h, gga() + gsa() + zda("07,12,2026", "235960.000")));
    });
    EXPECT_EQ(cmes_utc, 2);
    EXPECT_EQ(cdia_utc, 29);
}

TEST_F(ProcesadoGps, ChecksumMaloNoSeUsaPeroCuentaComoVisto) {
    std::string gga_mala = gga();
    gga_mala[gga_mala.size() - 3] = gga_mala[gga_mala.size() - 3] == '0' ? '1' : '0';
    h.run([&] {
        modulo_gps.cdebug = 2;
        EXPECT_FALSE(captura(h, gga_mala + gsa() + zda()));
        EXPECT_EQ(modulo_gps.cframes_no_procesadas, 0);
        Serial1.flush();
    });
    EXPECT_NE(h.console.text().find("Checksum calculado erroneo => 78\r\n"), std::string::npos);
    EXPECT_NE(h.console.text().find("Procesando: $GNGSA"), std::string::npos);
}

TEST_F(ProcesadoGps, ResumenConDiagnosticos) {
    h.run([&] {
        modulo_gps.cdebug = 1;
        captura(h, rafaga_buena());
        Serial1.flush();
    });
    EXPECT_NE(h.console.text().find("\r\nFecha UTC:07/12/26 10:38:42.000 Sat:8 Calidad:1.2/0.8/0.9  Actual: Lat "
                                    "41*24.8963N Long 002*11.1234E\r\n"),
              std::string::npos)
        << h.console.text();
}

TEST_F(ProcesadoGps, ModoTestNoCaptura) {
    h.run([&] {
        waves.ctest = 1;
        EXPECT_FALSE(captura(h, rafaga_buena()));
    });
    EXPECT_EQ(cano_utc, 0);
}

TEST_F(ProcesadoGps, PrimeraCapturaGuardaHoraGpsYSegundaLaDelRelojPropio) {
    h.run([&] {
        Tiempo_Ajustar_Hora = 0;
        EXPECT_TRUE(captura(h, rafaga_buena()));
        EXPECT_EQ(cdia_gps_anterior, 7);
        EXPECT_EQ(chora_gps_anterior, 10);
        EXPECT_EQ(cminuto_gps_anterior, 38);
        EXPECT_EQ(csegundo_gps_anterior, 42);
        EXPECT_EQ(Tiempo_Ajustar_Hora, 0);

        // Four hours later by GPS; the board's clock, which ran fast, already reads 14:39:05.
        cdia_utc = 7, chora_utc = 14, cminuto_utc = 39, csegundo_utc = 5;
        EXPECT_TRUE(captura(h, gga() + gsa() + zda("07,12,2026", "143842.000")));
        EXPECT_EQ(cdia_comparativa, 7);
        EXPECT_EQ(chora_comparativa, 14);
        EXPECT_EQ(cminuto_comparativa, 39);
        // The tick may have moved the second on since it was set.
        EXPECT_GE(csegundo_comparativa, 5);
        EXPECT_LE(csegundo_comparativa, 6);
        EXPECT_EQ(Tiempo_Ajustar_Hora, 1);
        EXPECT_EQ(Tiempo_Revision_Hora_GPS, 1);
        EXPECT_EQ(chora_utc, 14);
        EXPECT_EQ(cminuto_utc, 38);
        // The previous GPS time waits for the comparison.
        EXPECT_EQ(chora_gps_anterior, 10);
        Serial1.flush();
    });
    EXPECT_NE(h.console.text().find("Hora anterior GPS (Recepcion GPS):10:38:42\r\n"), std::string::npos);
    EXPECT_NE(h.console.text().find("Hora comparativa UTC (Recepcion GPS):14:39:0"), std::string::npos);
}

TEST_F(ProcesadoGps, SinAjusteDeRelojNoSeArmaLaCorreccion) {
    h.run([&] {
        CTE_AJUSTE_RELOJ = 0;
        Tiempo_Ajustar_Hora = 0;
        EXPECT_TRUE(captura(h, rafaga_buena()));
    });
    EXPECT_EQ(cdia_gps_anterior, 0);
    EXPECT_EQ(Tiempo_Capturar_Hora_Inicial, 1);
}

TEST_F(ProcesadoGps, ContadorDeCapturasNoDaLaVuelta) {
    h.run([&] {
        CONT_TRAMAS_GPS = 2;
        EXPECT_TRUE(captura(h, rafaga_buena()));
        EXPECT_EQ(CONT_TRAMAS_GPS, 3);
        EXPECT_EQ(cRevision_Resets_24h, 0);
        CONT_TRAMAS_GPS = 255;
        EXPECT_TRUE(captura(h, rafaga_buena()));
        EXPECT_EQ(CONT_TRAMAS_GPS, 255);
        EXPECT_EQ(cRevision_Resets_24h, 0);
    });
}

TEST_F(ProcesadoGps, UnaRafagaSeProcesaUnaSolaVez) {
    h.run([&] {
        modulo_gps.cconfigurado = GPS_FUNCIONANDO;
        gps_prueba::rafaga(h, "basura\r\n");
        EXPECT_EQ(modulo_gps.cframes_no_procesadas, 1);
        // Passes with a silent port leave the count alone.
        for (int i = 0; i < 5; ++i) procesamos_gps();
        EXPECT_EQ(modulo_gps.cframes_no_procesadas, 1);
        EXPECT_EQ(modulo_gps.cbaudios_gps, 0);
    });
}

// Pieces of real sentences, truncated and shuffled with noise, bursts up to past the
// 420-byte limit: nothing is read or written outside the record (checked under the
// sanitizers), the state stays a known one, and whatever is captured is a valid date with
// a well-formed host sentence.
TEST_F(ProcesadoGps, RafagasAleatoriasYTruncadas) {
    const std::string piezas[] = {gga(), gsa(), zda(), gsa(""), zda("29,02,2025"), nmea("PMTK001,313,3"),
                                  "$OK*04\r\n", "UC6226NIS,V1.0\r\n", "SIM66MD,V1.0\r\n", "$PMTK011,MTKGPS*08\r\n",
                                  nmea("GNRMC,,V,,,,,,,,,,N"), "*", ",", "\r\n", "$GNGGA,,,*", "$GNZDA,1"};
    std::mt19937 azar(20261207);
    h.run([&] {
        for (int i = 0; i < 300; ++i) {
            std::string r;
            const size_t objetivo = azar() % 520;
            while (r.size() < objetivo) {
                const std::string& p = piezas[azar() % (sizeof piezas / sizeof piezas[0])];
                switch (azar() % 4) {
                case 0: r += p.substr(0, azar() % (p.size() + 1)); break;
                case 1: r += char(azar() % 256); break;
                default: r += p; break;
                }
            }
            if (r.empty()) r = "\n";
            modulo_gps.cconfigurado = uint8_t(azar() % 26);
            modulo_gps.ctipo = uint8_t(1 + azar() % 2);
            cdatos_tx_kvx03 = 0;
            cpeticion_nueva_hora = 1;
            gps_prueba::rafaga(h, r);
            ASSERT_LE(modulo_gps.ibytes_rx, TAM_FRAME_RX_GPS);
            ASSERT_LE(modulo_gps.cconfigurado, GPS_ULTIMO_PASO_CFGMSG);
            ASSERT_LT(modulo_gps.cbaudios_gps, CANTIDAD_BAUDIOS_GPS);
            if (cdatos_tx_kvx03 == 1) {
                EXPECT_EQ(verificacion_limites_fecha(cano_utc, cmes_utc, cdia_utc, chora_utc, cminuto_utc, csegundo_utc), 0);
                const std::string t = trama_host();
                ASSERT_GE(t.size(), 6u);
                const std::string cuerpo = t.substr(1, t.size() - 6);
                EXPECT_EQ(t, "$" + cuerpo + "*" + gps_prueba::hex2(gps_prueba::xor_nmea(cuerpo)) + "\r\n");
            }
            // A baud-rate change would leave the harness's 9600 line: stay on it.
            if (modulo_gps.cbaudios_gps != 1 || h.board.uart_baud(3) != 9600) {
                modulo_gps.cbaudios_gps = 1;
                modulo_gps.ccambio_baudios_gps = 0;
                Serial3.begin(9600);
            }
            modulo_gps.cframes_no_procesadas = 0;
        }
    });
}
