// Receiver management: start-up of the record, power and the states of the configuration
// machine for both families, the replies that move it ("$PMTK001", "$OK", identification
// lines), reconfiguration on unexpected sentences and incomplete bursts, and the baud-rate
// search with its confirmation at EEPROM 1025.
#include <gtest/gtest.h>

#include <string>

#include "gps_prueba.h"

using gps_prueba::gga;
using gps_prueba::gsa;
using gps_prueba::nmea;
using gps_prueba::rafaga;
using gps_prueba::zda;

namespace {

const char* const kSecuenciaCfgmsg[] = {
    "$CFGMSG,0,0,1*06\r\n", "$CFGMSG,0,1,0*06\r\n", "$CFGMSG,0,2,1*04\r\n", "$CFGMSG,0,3,0*04\r\n", "$CFGMSG,0,4,0*03\r\n",
    "$CFGMSG,0,5,0*02\r\n", "$CFGMSG,0,6,1*00\r\n", "$CFGMSG,0,7,0*00\r\n", "$CFGSAVE,h2*35\r\n",
};
const std::string kPmtk314 = "$PMTK314,0,0,0,1,1,0,0,0,0,0,0,0,0,0,0,0,0,1,0*29\r\n";
const std::string kRmc = nmea("GNRMC,103842.000,A,4124.8963,N,00211.1234,E,0.00,0.00,071226,,,A");

size_t cuenta(const std::string& texto, const std::string& trozo) {
    size_t n = 0;
    for (size_t p = texto.find(trozo); p != std::string::npos; p = texto.find(trozo, p + 1)) ++n;
    return n;
}

// Runs the configuration step on every pass for `ms` milliseconds (inside Harness::run).
void pasadas(uint32_t ms) {
    uint32_t t0 = millis();
    while (millis() - t0 < ms) configuracion_frames_gps();
}

// Waits until everything written to the GPS port has reached the receiver's side.
void vacia_gps() { Serial3.flush(); }

struct ConfiguracionGps : ::testing::Test {
    void SetUp() override {
        h.run([&] {
            gps_prueba::arranque_placa();
            modulo_gps.cbaudios_gps = 1; // 9600, the rate of the harness's GPS line
        });
    }
    sim::test::Harness h;
};

} // namespace

TEST(InicializacionGps, IndiceGuardadoFueraDeTablaVuelveA9600) {
    sim::test::Harness h;
    h.eeprom.data()[1025] = 7;
    h.run([&] {
        gps_prueba::arranque_placa();
        modulo_gps.ctipo = GPS_TIPO_CFGMSG;
        modulo_gps.cconfigurado = 12;
        modulo_gps.cdebug = 2;
        inicializacion_modulo_gps();
    });
    EXPECT_EQ(modulo_gps.cbaudios_gps, 1);
    EXPECT_EQ(h.eeprom.data()[1025], 1);
    EXPECT_EQ(modulo_gps.ctipo, GPS_TIPO_PMTK);
    EXPECT_EQ(modulo_gps.cconfigurado, GPS_APAGADO);
    EXPECT_EQ(modulo_gps.cdebug, 0);
    EXPECT_EQ(modulo_gps.cgrados_latitud, 91);
    EXPECT_EQ(modulo_gps.cgrados_longitud, 181);

    h.eeprom.data()[1025] = 6;
    h.run([&] { inicializacion_modulo_gps(); });
    EXPECT_EQ(modulo_gps.cbaudios_gps, 6);
    EXPECT_EQ(h.eeprom.data()[1025], 6);
}

TEST_F(ConfiguracionGps, ApagadoEsperaPeticionYRetardo) {
    h.run([&] {
        cpeticion_nueva_hora = 0;
        digitalWrite(PIN_ALIMENTACION_GPS, HIGH);
        pasadas(50);
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_APAGADO);
        EXPECT_EQ(h.board.pin_output(PIN_ALIMENTACION_GPS), 0);

        cpeticion_nueva_hora = 1;
        modulo_gps.cdelay = 3;
        pasadas(150);
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_APAGADO);
        uint32_t t0 = millis();
        while (millis() - t0 < 300 && modulo_gps.cconfigurado == GPS_APAGADO) configuracion_frames_gps();
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_ENCENDER);
        EXPECT_EQ(modulo_gps.cdelay, 0);

        // The test routine keeps the receiver on without a time request.
        modulo_gps.cconfigurado = GPS_APAGADO;
        cpeticion_nueva_hora = 0;
        waves.ctest = 1;
        configuracion_frames_gps();
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_ENCENDER);
    });
}

TEST_F(ConfiguracionGps, EncendidoSegunFamilia) {
    h.run([&] {
        Serial3.end();
        modulo_gps.cbaudios_gps = 4;
        modulo_gps.cframes_no_procesadas = 1;
        modulo_gps.ctipo = GPS_TIPO_PMTK;
        modulo_gps.cconfigurado = GPS_ENCENDER;
        configuracion_frames_gps();
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_HABILITAR_SBAS);
        EXPECT_EQ(modulo_gps.cdelay, RETARDO_REPETICION_GPS);
        EXPECT_EQ(modulo_gps.cframes_no_procesadas, 0);
        EXPECT_EQ(h.board.pin_output(PIN_ALIMENTACION_GPS), 1);

        modulo_gps.ctipo = GPS_TIPO_CFGMSG;
        modulo_gps.cconfigurado = GPS_ENCENDER;
        configuracion_frames_gps();
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
    });
    EXPECT_EQ(h.board.uart_baud(3), 38400u);

    h.run([&] {
        modulo_gps.cconfigurado = GPS_APAGAR;
        configuracion_frames_gps();
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_APAGADO);
        EXPECT_EQ(h.board.pin_output(PIN_ALIMENTACION_GPS), 0);
    });
    EXPECT_EQ(h.board.uart_baud(3), 0u);
}

TEST_F(ConfiguracionGps, PmtkRepiteSbasHastaSuConfirmacion) {
    h.run([&] {
        modulo_gps.ctipo = GPS_TIPO_PMTK;
        modulo_gps.cconfigurado = GPS_ENCENDER;
        pasadas(2500);
        vacia_gps();
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_HABILITAR_SBAS);
        EXPECT_EQ(h.gps.text(), "$PMTK313,1*2E\r\n$PMTK313,1*2E\r\n");

        // An acknowledgement of another command only clears the pacing.
        modulo_gps.cdelay = 7;
        rafaga(h, nmea("PMTK001,314,3"));
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_HABILITAR_SBAS);
        EXPECT_EQ(modulo_gps.cdelay, 0);
        // With a bad checksum nothing changes.
        modulo_gps.cdelay = 7;
        rafaga(h, "$PMTK001,313,3*00\r\n");
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_HABILITAR_SBAS);
        EXPECT_EQ(modulo_gps.cdelay, 7);
        rafaga(h, nmea("PMTK001,313,3"));
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
        EXPECT_EQ(modulo_gps.cdelay, 0);
        // The same reply while running only clears the pacing.
        modulo_gps.cdelay = 7;
        rafaga(h, nmea("PMTK001,313,3"));
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
        EXPECT_EQ(modulo_gps.cdelay, 0);

        // State 4 for a CFGMSG receiver goes straight on.
        modulo_gps.ctipo = GPS_TIPO_CFGMSG;
        modulo_gps.cconfigurado = GPS_HABILITAR_SBAS;
        modulo_gps.cdelay = 5;
        configuracion_frames_gps();
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
        EXPECT_EQ(modulo_gps.cdelay, 0);
    });
}

TEST_F(ConfiguracionGps, PmtkReconfiguraConSentenciaInesperada) {
    h.run([&] {
        modulo_gps.ctipo = GPS_TIPO_PMTK;
        modulo_gps.cconfigurado = GPS_HABILITAR_SBAS;
        // Unexpected sentences change nothing before the receiver runs.
        rafaga(h, kRmc);
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_HABILITAR_SBAS);
        modulo_gps.cconfigurado = GPS_FUNCIONANDO;
        std::string mala = kRmc;
        mala[mala.size() - 3] = mala[mala.size() - 3] == '0' ? '1' : '0';
        modulo_gps.cframes_no_procesadas = 0; // no baud-rate change in between
        rafaga(h, mala);
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
        modulo_gps.cframes_no_procesadas = 0;
        rafaga(h, kRmc);
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_RECONFIGURAR_PMTK);
        EXPECT_EQ(modulo_gps.cdelay, RETARDO_REPETICION_GPS);
        configuracion_frames_gps();
        vacia_gps();
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
        EXPECT_EQ(h.gps.text(), kPmtk314);

        // State 9 with a PMTK receiver sends the PMTK sentence and ends in 1, not 10.
        h.gps.clear();
        modulo_gps.cconfigurado = GPS_RECONFIGURAR_CFGMSG;
        configuracion_frames_gps();
        vacia_gps();
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
        EXPECT_EQ(h.gps.text(), kPmtk314);
        Serial1.flush();
    });
    EXPECT_EQ(cuenta(h.console.text(), "\r\nReconfiguramos modulo GPS\r\n"), 2u);
}

TEST_F(ConfiguracionGps, CfgmsgSecuenciaCompletaConOk) {
    h.run([&] {
        modulo_gps.ctipo = GPS_TIPO_CFGMSG;
        modulo_gps.cconfigurado = GPS_FUNCIONANDO;
        rafaga(h, kRmc);
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_RECONFIGURAR_CFGMSG);
        std::string esperado;
        for (uint8_t paso = 0; paso < 9; ++paso) {
            const uint8_t cenviado = static_cast<uint8_t>(9 + 2 * paso);
            EXPECT_EQ(modulo_gps.cconfigurado, cenviado);
            configuracion_frames_gps();
            esperado += kSecuenciaCfgmsg[paso];
            if (paso == 8) break;
            EXPECT_EQ(modulo_gps.cconfigurado, cenviado + 1);
            // Waiting for "$OK": nothing more is sent.
            configuracion_frames_gps();
            EXPECT_EQ(modulo_gps.cconfigurado, cenviado + 1);
            rafaga(h, "$OK*04\r\n");
        }
        vacia_gps();
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
        EXPECT_EQ(h.gps.text(), esperado);

        // "$OK" outside an even step only clears the stored date, time and position.
        for (uint8_t estado : {uint8_t(13), uint8_t(1), uint8_t(25)}) {
            modulo_gps.cconfigurado = estado;
            modulo_gps.cdia_zda = 7;
            modulo_gps.cgrados_latitud = 41;
            rafaga(h, "$OK*04\r\n");
            EXPECT_EQ(modulo_gps.cconfigurado, estado);
            EXPECT_EQ(modulo_gps.cdia_zda, 0);
            EXPECT_EQ(modulo_gps.cgrados_latitud, 91);
        }
        modulo_gps.cconfigurado = 12;
        rafaga(h, "$OK*04\r\n");
        EXPECT_EQ(modulo_gps.cconfigurado, 13);
    });
}

TEST_F(ConfiguracionGps, CfgmsgPideEstado5EmpiezaSuPropiaSecuencia) {
    h.run([&] {
        // The PMTK reconfiguration asked for, and a CFGMSG announcement later in the same burst.
        modulo_gps.ctipo = GPS_TIPO_PMTK;
        modulo_gps.cconfigurado = GPS_FUNCIONANDO;
        rafaga(h, kRmc + "UC6226NIS,V1.0\r\n");
        EXPECT_EQ(modulo_gps.ctipo, GPS_TIPO_CFGMSG);
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_RECONFIGURAR_PMTK);
        configuracion_frames_gps();
        vacia_gps();
        EXPECT_EQ(modulo_gps.cconfigurado, 10);
        EXPECT_EQ(h.gps.text(), kSecuenciaCfgmsg[0]);
    });
}

TEST_F(ConfiguracionGps, IdentificacionDeFamilias) {
    h.run([&] {
        modulo_gps.ctipo = GPS_TIPO_PMTK;
        modulo_gps.cconfigurado = GPS_FUNCIONANDO;
        rafaga(h, "UC6226NIS,V1.0\r\n");
        EXPECT_EQ(modulo_gps.ctipo, GPS_TIPO_CFGMSG);
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
        rafaga(h, "$PMTK011,MTKGPS*08\r\n$PMTK010,001*2E\r\n");
        EXPECT_EQ(modulo_gps.ctipo, GPS_TIPO_PMTK);
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
        rafaga(h, "SIM66M,V1.0\r\n");
        EXPECT_EQ(modulo_gps.ctipo, GPS_TIPO_CFGMSG);
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
        modulo_gps.ctipo = GPS_TIPO_PMTK;
        rafaga(h, "SIM66MD,V1.0\r\n");
        EXPECT_EQ(modulo_gps.ctipo, GPS_TIPO_CFGMSG);
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_RECONFIGURAR_CFGMSG);
        // Announced again: the sequence restarts, the family is not announced twice.
        modulo_gps.cconfigurado = 14;
        rafaga(h, "SIM66MD,V1.0\r\n#CFGMSG,0,1\r\n");
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_RECONFIGURAR_CFGMSG);
        EXPECT_EQ(modulo_gps.cframes_no_procesadas, 0);
        Serial1.flush();
    });
    const std::string con = h.console.text();
    EXPECT_EQ(cuenta(con, "Identificado modulo SIM66M\r\n"), 2u);
    EXPECT_EQ(cuenta(con, "Identificado modulo L76LB\r\n"), 1u);
    EXPECT_EQ(cuenta(con, "Identificado modulo SIM66MD\r\n"), 1u);
}

TEST_F(ConfiguracionGps, CuatroRafagasIncompletasReconfiguran) {
    h.run([&] {
        modulo_gps.ctipo = GPS_TIPO_CFGMSG;
        modulo_gps.cconfigurado = GPS_FUNCIONANDO;
        for (int i = 0; i < 3; ++i) rafaga(h, gga() + gsa());
        EXPECT_EQ(modulo_gps.ctimeout_frame, 3);
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
        // A complete burst starts the count again.
        rafaga(h, gga() + gsa("9.9") + zda());
        EXPECT_EQ(modulo_gps.ctimeout_frame, 0);
        for (int i = 0; i < 3; ++i) rafaga(h, gga() + zda());
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
        rafaga(h, gga() + zda());
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_RECONFIGURAR_CFGMSG);
        EXPECT_EQ(modulo_gps.ctimeout_frame, 0);
    });
}

TEST_F(ConfiguracionGps, BusquedaDeBaudiosYConfirmacionEnEeprom) {
    h.eeprom.data()[1025] = 1;
    h.run([&] {
        modulo_gps.cbaudios_gps = 1;
        modulo_gps.cconfigurado = GPS_HABILITAR_SBAS;
        digitalWrite(PIN_ALIMENTACION_GPS, HIGH);
        rafaga(h, "\xF0\x0F\x55garbage\r\n");
        rafaga(h, nmea("GNGGA,,,,,,0,00,,,M,,M,,")); // recognised: does not clear the count
        EXPECT_EQ(modulo_gps.cframes_no_procesadas, 1);
        rafaga(h, "\x80\x81\x82");
        EXPECT_EQ(modulo_gps.cframes_no_procesadas, 0);
        EXPECT_EQ(modulo_gps.cbaudios_gps, 2);
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_FUNCIONANDO);
        EXPECT_EQ(modulo_gps.ccambio_baudios_gps, 1);
    });
    EXPECT_EQ(h.board.uart_baud(3), 14400u);
    EXPECT_EQ(h.eeprom.data()[1025], 1);

    // The receiver answers at the new rate: confirmed, stored, switched off for 3 s.
    h.board.connect_uart(3, &h.gps, 14400);
    h.run([&] {
        rafaga(h, nmea("GNGGA,,,,,,0,00,,,M,,M,,"));
        EXPECT_EQ(modulo_gps.cconfigurado, GPS_APAGADO);
        EXPECT_EQ(modulo_gps.ccambio_baudios_gps, 0);
        EXPECT_GE(modulo_gps.cdelay, RETARDO_REARRANQUE_GPS - 1);
        EXPECT_EQ(h.board.pin_output(PIN_ALIMENTACION_GPS), 0);
        Serial1.flush();
    });
    EXPECT_EQ(h.board.uart_baud(3), 0u);
    EXPECT_EQ(h.eeprom.data()[1025], 2);
    EXPECT_NE(h.console.text().find("Cambio baudios GPS:14400\r\n"), std::string::npos);
}

TEST_F(ConfiguracionGps, De115200PasaA4800) {
    h.run([&] {
        modulo_gps.cbaudios_gps = 6;
        reconversion_baudios_gps(1);
        EXPECT_EQ(modulo_gps.cbaudios_gps, 0);
    });
    EXPECT_EQ(h.board.uart_baud(3), 4800u);
    h.run([&] {
        reconversion_baudios_gps(0);
        EXPECT_EQ(modulo_gps.cbaudios_gps, 0);
        for (int i = 0; i < 4; ++i) reconversion_baudios_gps(1);
        Serial1.flush();
    });
    EXPECT_EQ(h.board.uart_baud(3), 38400u);
    EXPECT_NE(h.console.text().find("Cambio baudios GPS:4800\r\nCambio baudios GPS:9600\r\nCambio baudios GPS:14400\r\n"
                                    "Cambio baudios GPS:19200\r\nCambio baudios GPS:38400\r\n"),
              std::string::npos);
}
