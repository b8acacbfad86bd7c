// Host link: which blocks get a reply, how the main loop cuts the host stream into blocks,
// and the framing of every reply.
#include "kvx03_prueba.h"

using kvx_prueba::arranque_puertos;
using kvx_prueba::ejecuta_bloque;
using kvx_prueba::respuesta;
using kvx_prueba::telecomando;
using sim::kMilli;

namespace {

// "$KVX03," + campos + "*" + the given checksum text.
std::string con_checksum(const std::string& campos, const std::string& hex) {
    return "$KVX03," + campos + "*" + hex + "\r\n";
}

// "$KVX03," + campos with the right checksum (also for fields the host side refuses).
std::string bien_sumada(const std::string& campos) {
    return con_checksum(campos, sim::kvx_hex(sim::kvx_checksum("KVX03," + campos)));
}

} // namespace

TEST(ValidacionKvx03, TramaCorrectaSeContestaYLaDeChecksumErroneoNo) {
    sim::test::Harness h;
    std::string buena, mala, minusculas, sin_asterisco;
    h.run([&] {
        arranque_puertos();
        buena = telecomando("3");
        uint8_t c = sim::kvx_checksum("KVX03,1,8");
        mala = ejecuta_bloque(con_checksum("1,8", sim::kvx_hex(static_cast<uint8_t>(c ^ 0x01))));
        // Checksum 4F written in lower case, and a block without "*".
        minusculas = ejecuta_bloque("$KVX03,1,8*4f\r\n");
        sin_asterisco = ejecuta_bloque("$KVX03,1,8\r\n");
        Serial1.flush();
    });
    EXPECT_EQ(buena, respuesta("03,01"));
    EXPECT_EQ(mala, "");
    EXPECT_EQ(minusculas, "");
    EXPECT_EQ(sin_asterisco, "");
    // One result line per block: 1 for the good one, 0 for the three others.
    const std::string& consola = h.console.text();
    size_t unos = 0, ceros = 0;
    for (size_t p = 0; (p = consola.find("_Fin Comprobar_checksum\r\n", p)) != std::string::npos; ++p) {
        ASSERT_GT(p, 0u);
        if (consola[p - 1] == '1') ++unos;
        if (consola[p - 1] == '0') ++ceros;
    }
    EXPECT_EQ(unos, 1u);
    EXPECT_EQ(ceros, 3u);
}

TEST(ValidacionKvx03, CabeceraDistintaEnCualquierPosicionNoSeContesta) {
    sim::test::Harness h;
    h.run([&] {
        arranque_puertos();
        for (size_t pos = 0; pos < 6; ++pos) {
            std::string cabecera = "$KVX03";
            cabecera[pos] = pos == 0 ? '#' : 'Z';
            // The checksum is right for the changed text.
            std::string cuerpo = cabecera.substr(1) + ",1,8";
            std::string bloque = cabecera + ",1,8*" + sim::kvx_hex(sim::kvx_checksum(cuerpo)) + "\r\n";
            EXPECT_EQ(ejecuta_bloque(bloque), "") << bloque;
        }
        EXPECT_NE(telecomando("1,8"), "");
    });
}

TEST(ValidacionKvx03, GruposYCodigosFueraDeLaListaNoSeContestan) {
    sim::test::Harness h;
    h.run([&] {
        arranque_puertos();
        // Groups 0, 16, 259 (not group 3 by its low byte) and an empty group.
        for (const char* campos : {"0", "16", "259", "", "256,8"}) {
            EXPECT_EQ(ejecuta_bloque(bien_sumada(campos)), "") << campos;
        }
        // Group 1: codes 0, 24 to 29, 32, 264 (not code 8 by its low byte), empty.
        for (const char* campos : {"1,0", "1,24", "1,25", "1,26", "1,27", "1,28", "1,29", "1,32", "1,264", "1,"}) {
            EXPECT_EQ(telecomando(campos), "") << campos;
        }
        // Nothing stays marked for sending either.
        EXPECT_EQ(cdatos_tx_kvx03, 0);
        EXPECT_NE(telecomando("1,23"), "");
    });
}

TEST(ValidacionKvx03, RespuestaGrupo3LlevaEstadoChecksumYFinDeLinea) {
    sim::test::Harness h;
    std::string r;
    h.run([&] {
        arranque_puertos();
        r = telecomando("3");
    });
    // "$OLA,03,01*" + checksum of "OLA,03,01" (0x40, computed by hand) + CR LF.
    EXPECT_EQ(r, "$OLA,03,01*40\r\n");
    sim::SentenceCheck c = sim::kvx_check(r.substr(0, r.size() - 2));
    EXPECT_EQ(c.verdict, sim::ChecksumVerdict::Right) << c.problem;
}

// Through the main loop's host block: reception until 100 ms of silence, then the reply
// on the next pass.
TEST(ValidacionKvx03, RafagaDe200BytesConservaLos128Primeros) {
    sim::test::Harness h;
    std::string rafaga(200, 0);
    for (size_t i = 0; i < rafaga.size(); ++i) rafaga[i] = static_cast<char>('A' + i % 26);
    std::string recibido;
    h.run([&] {
        arranque_puertos();
        h.host.type(rafaga);
        while (Serial0.available() == 0) sodaq_wdt_reset();
        recepcion_bloque_kvx03(SILENCIO_RX_KVX03_MS);
        recibido.assign(reinterpret_cast<const char*>(ctrama_rx_kvx03), ccantidad_bytes_rx_kvx03);
    });
    EXPECT_EQ(recibido, rafaga.substr(0, 128));
}

TEST(ValidacionKvx03, PausaDeMasDe100msPartelaTramaEnDosBloques) {
    sim::test::Harness h;
    const std::string frase = sim::kvx_telecommand("1,8") + "\r\n";
    std::string bloques[2];
    std::string respuestas[2];
    std::string entera;
    h.run([&] {
        arranque_puertos();
        sim::Nanos t0 = h.board.now();
        h.host.type_at(t0 + 10 * kMilli, frase.substr(0, 7));
        h.host.type_at(t0 + 200 * kMilli, frase.substr(7));
        for (int k = 0; k < 2; ++k) {
            while (Serial0.available() == 0) sodaq_wdt_reset();
            recepcion_bloque_kvx03(SILENCIO_RX_KVX03_MS);
            bloques[k].assign(reinterpret_cast<const char*>(ctrama_rx_kvx03), ccantidad_bytes_rx_kvx03);
            cdatos_tx_kvx03 = 0;
            procesamos_trama_kvx03();
            respuestas[k] = cdatos_tx_kvx03 ? cbuffer_kvx03 : "";
        }
        // A pause of 50 ms stays inside one block, which is answered.
        sim::Nanos t1 = h.board.now();
        h.host.type_at(t1 + 10 * kMilli, frase.substr(0, 7));
        h.host.type_at(t1 + 60 * kMilli, frase.substr(7));
        while (Serial0.available() == 0) sodaq_wdt_reset();
        recepcion_bloque_kvx03(SILENCIO_RX_KVX03_MS);
        entera.assign(reinterpret_cast<const char*>(ctrama_rx_kvx03), ccantidad_bytes_rx_kvx03);
    });
    EXPECT_EQ(bloques[0], frase.substr(0, 7));
    EXPECT_EQ(bloques[1], frase.substr(7));
    EXPECT_EQ(respuestas[0], "");
    EXPECT_EQ(respuestas[1], "");
    EXPECT_EQ(entera, frase);
}

TEST(ValidacionKvx03, BucleRecibeContestaEnLaPasadaSiguienteYModoTransparenteReenvia) {
    sim::test::Harness h;
    const std::string frase = sim::kvx_telecommand("3") + "\r\n";
    std::string tras_recepcion;
    h.run([&] {
        arranque_puertos();
        CTE_MODO_TRANSPARENTE = 1;
        h.host.type(frase);
        while (Serial0.available() == 0) sodaq_wdt_reset();
        comunicacion_kvx03();          // receives and executes
        tras_recepcion = h.host.text();
        comunicacion_kvx03();          // sends the reply
        Serial0.flush();
        Serial2.flush();
    });
    EXPECT_EQ(tras_recepcion, "");
    EXPECT_EQ(h.host.text(), respuesta("03,01"));
    // The block reached the inertial sensor unchanged, and was answered all the same.
    EXPECT_EQ(h.sensor.text(), frase);
}
