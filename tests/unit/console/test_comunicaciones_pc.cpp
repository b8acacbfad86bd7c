// Field builders, parsers, console printers and the banner.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "console/comunicaciones_pc.h"
#include "declaraciones.h"
#include "harness.h"
#include "platform.h"

namespace {

// Builds into the host sentence buffer from an empty count and returns what was appended.
template <typename F>
std::string campo(F&& construir) {
    ibytes_a_escribir_sd[TIPO_BUFFER_KVX03] = 0;
    construir();
    return std::string(cbuffer_kvx03, ibytes_a_escribir_sd[TIPO_BUFFER_KVX03]);
}

std::string decimal(uint32_t valor, uint8_t cifras, char fin = 0) {
    return campo([&] { insertamos_variable_buffer(cbuffer_kvx03, valor, cifras, fin, TIPO_BUFFER_KVX03); });
}

std::string hexadecimal(uint32_t valor, uint8_t cifras, char fin = 0) {
    return campo([&] { insertamos_variable_hex_buffer(cbuffer_kvx03, valor, cifras, fin, TIPO_BUFFER_KVX03); });
}

std::string flotante(float valor, char fin = 0) {
    return campo([&] { insertamos_variable_float_buffer_v02(cbuffer_kvx03, valor, 9, 4, fin, TIPO_BUFFER_KVX03); });
}

const uint8_t* bytes(const char* texto) { return reinterpret_cast<const uint8_t*>(texto); }

} // namespace

TEST(CamposBuffer, DecimalCerosATodaPosicionOSuprimidos) {
    EXPECT_EQ(decimal(0, 2, ','), "00,");
    EXPECT_EQ(decimal(7, 2), "07");
    EXPECT_EQ(decimal(5, 5), "00005");
    EXPECT_EQ(decimal(0, 0), "0");
    EXPECT_EQ(decimal(4096, 0), "4096");
    EXPECT_EQ(decimal(4294967295u, 0), "4294967295");
    EXPECT_EQ(decimal(5, 12), "000000000005"); // positions past the powers table hold zeros
    // A value wider than its field: the leading quotient 12 is the table's letter...
    EXPECT_EQ(decimal(123, 2), "C3");
    // ...and a quotient above 15 gets the overflow mark, never a byte from past the table.
    EXPECT_EQ(decimal(1600, 2), "*0");
}

TEST(CamposBuffer, HexadecimalDeAnchoFijo) {
    EXPECT_EQ(hexadecimal(0x2A, 2), "2A");
    EXPECT_EQ(hexadecimal(0x2A, 4, ','), "002A,");
    EXPECT_EQ(hexadecimal(0xDEADBEEF, 8), "DEADBEEF");
    EXPECT_EQ(hexadecimal(0x1FF, 2), "*F");
}

TEST(CamposBuffer, Terminadores) {
    EXPECT_EQ(decimal(12, 2, 1), "12\r\n");
    EXPECT_EQ(decimal(12, 2, 0), "12");
    EXPECT_EQ(decimal(12, 2, ';'), "12;");
    EXPECT_EQ(campo([] { insertamos_mensaje_buffer(cbuffer_kvx03, "RES,", TIPO_BUFFER_KVX03); }), "RES,");
}

TEST(CamposBuffer, FlotanteConSignoYOnceCaracteres) {
    sim::test::Harness h; // the self-check may print on the console
    h.run([] {
        EXPECT_EQ(flotante(-0.25f), "-00000.2500");
        EXPECT_EQ(flotante(0.0f, ','), " 00000.0000,");
        EXPECT_EQ(flotante(3.14159f), " 00003.1416");
        EXPECT_EQ(flotante(-99999.5f, 1), "-99999.5000\r\n");
    });
}

// The velocity field as the C library's "%010.4f" wrote it, with the clamping texts the raw
// record used beyond +-99999.9999: the integer formatter must give these bytes for every float.
std::string velocidad_printf(float valor) {
    if (static_cast<double>(valor) >= 99999.9999) return " 99999.9999";
    if (static_cast<double>(valor) <= -99999.9999) return "-99999.9999";
    std::string campo = valor < 0.0f ? "-" : " ";
    char texto[48];
    std::snprintf(texto, sizeof texto, "%010.4f", static_cast<double>(valor < 0.0f ? -valor : valor));
    return campo + texto;
}

float de_bits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

TEST(CamposBuffer, FlotanteEnteroIgualAlFormatoDeLaBiblioteca) {
    auto igual = [](float v) {
        std::string esperado = velocidad_printf(v);
        std::string obtenido = flotante(v);
        if (esperado == obtenido) return true;
        ADD_FAILURE() << "bits " << std::hex << [&] { uint32_t b; std::memcpy(&b, &v, 4); return b; }()
                      << ": \"" << obtenido << "\" instead of \"" << esperado << "\"";
        return false;
    };
    const float inf = std::numeric_limits<float>::infinity();
    for (float v : {0.0f, -0.0f, inf, -inf, std::nanf(""), -std::nanf(""), 1e-45f, -1e-45f, 4.9999e-5f,
                    5e-5f, 99999.99f, -99999.99f, 100000.0f, 99999.9999f, 3.4e38f, -3.4e38f})
        igual(v);
    // Ties of the fifth decimal are exactly the odd multiples of 1/32 (x.xxxx5 is dyadic only
    // then): all of them below 100000, with both neighbours, both signs.
    int fallos = 0;
    for (uint32_t j = 1; j < 3200000u && fallos < 5; j += 2) {
        float v = static_cast<float>(j) / 32.0f;
        for (float w : {v, std::nextafter(v, 0.0f), std::nextafter(v, inf), -v})
            if (!igual(w)) ++fallos;
    }
    // A sweep over the bit patterns of both signs, every magnitude class up to the infinities.
    for (uint64_t b = 0; b <= 0x7F800000u && fallos < 5; b += 1237) {
        if (!igual(de_bits(static_cast<uint32_t>(b)))) ++fallos;
        if (!igual(de_bits(static_cast<uint32_t>(b) | 0x80000000u))) ++fallos;
    }
    EXPECT_EQ(fallos, 0);
}

TEST(CamposBuffer, CapacidadYChecksum) {
    // The result summary holds 79 characters: the rest are dropped, the byte after stays.
    char resumen[TAM_BUFFER_PROMEDIO + 1];
    resumen[TAM_BUFFER_PROMEDIO] = '#';
    ibytes_a_escribir_sd[TIPO_BUFFER_PROMEDIO] = 0;
    for (int i = 0; i < 100; ++i) inserto_caracter_buffer(resumen, 'x', TIPO_BUFFER_PROMEDIO);
    EXPECT_EQ(ibytes_a_escribir_sd[TIPO_BUFFER_PROMEDIO], TAM_BUFFER_PROMEDIO);
    EXPECT_EQ(resumen[TAM_BUFFER_PROMEDIO], '#');

    // XOR of "GPGGA" is 0x56 (G 47, P 50, G 47, G 47, A 41), on top of the previous 0x5A.
    cchecksum_nmea_kvx03 = 0x5A;
    ccalculo_checksum_nmea = 1;
    campo([] { insertamos_mensaje_buffer(cbuffer_kvx03, "GPGGA", TIPO_BUFFER_KVX03); });
    EXPECT_EQ(cchecksum_nmea_kvx03, 0x5A ^ 0x56);
    ccalculo_checksum_nmea = 0;
    campo([] { insertamos_mensaje_buffer(cbuffer_kvx03, "ZZ", TIPO_BUFFER_KVX03); });
    EXPECT_EQ(cchecksum_nmea_kvx03, 0x5A ^ 0x56);
}

TEST(Parsers, ComparacionYValorDeCaracter) {
    const char* trama = "$GPGGA,123";
    EXPECT_EQ(comparacion(3, bytes(trama), "GGA", 0), 1);
    EXPECT_EQ(comparacion(3, bytes(trama), "GGA", 3), 1);
    EXPECT_EQ(comparacion(3, bytes(trama), "GGA", 4), 0);
    EXPECT_EQ(comparacion(2, bytes(trama), "GGA", 0), 0);

    const std::pair<char, int> valores[] = {{'0', 0}, {'9', 9}, {'A', 10}, {'F', 15}, {' ', 252}, {'-', 253}, {'.', 254}};
    for (const auto& [c, v] : valores) EXPECT_EQ(desconversion_ascii(c), v) << c;
    for (uint8_t c : {'a', 'f', 'G', '/', ',', '*', '\r', '\0'}) EXPECT_EQ(desconversion_ascii(c), 255) << int(c);
}

TEST(Parsers, DecimalSaltaLoQueNoEsDigito) {
    EXPECT_EQ(conversion_ascii_decimal(0, 3, bytes(" 12")), 12u);
    EXPECT_EQ(conversion_ascii_decimal(0, 3, bytes("1A2")), 12u);
    EXPECT_EQ(conversion_ascii_decimal(4, 6, bytes("$KVX-4.5,7")), 457u);
    // Ten digits at most: the eleventh digit from the right is not taken.
    EXPECT_EQ(conversion_ascii_decimal(0, 11, bytes("94294967295")), 4294967295u);
}

TEST(Parsers, FlotanteConSignoYPunto) {
    EXPECT_FLOAT_EQ(conversion_ascii_float(0, 2, bytes("12")), 12.0f);
    EXPECT_FLOAT_EQ(conversion_ascii_float(0, 4, bytes("1.25")), 1.25f);
    EXPECT_FLOAT_EQ(conversion_ascii_float(0, 4, bytes("-0.5")), -0.5f);
    EXPECT_FLOAT_EQ(conversion_ascii_float(0, 3, bytes("12.")), 12.0f);
    EXPECT_FLOAT_EQ(conversion_ascii_float(1, 7, bytes(",5130.25,N")), 5130.25f);
    EXPECT_FLOAT_EQ(conversion_ascii_float(0, 0, bytes("77")), 0.0f);
}

TEST(Consola, TransmitoVariableYBannerEnLosDosPuertos) {
    sim::test::Harness h;
    h.run([] {
        Serial1.begin(115200);
        Serial0.begin(38400);
        transmito_variable(123, 2, 0);
        transmito_variable(7, 2, '/');
        transmito_variable(0, 0, 1);
        Serial1.flush();
    });
    EXPECT_EQ(h.console.text(), "12307/0\r\n");

    h.console.clear();
    h.run([] {
        mensaje_bienvenida();
        Serial1.flush();
        Serial0.flush();
    });
    const std::string asteriscos = std::string(79, '*') + "\r\n";
    const std::string cabecera = "\r\n" + asteriscos + "\t\tKESTRALUM\r\n\t\tMedimos el mar, ola a ola.\r\n" + asteriscos;
    EXPECT_EQ(h.console.text(),
              cabecera + "\tONDAVIX\tHardware:04_0\tFirmware:08_01\r\n" + asteriscos + "\r\n");
    EXPECT_EQ(h.host.text(), cabecera + "\tONDAVIX\tHardware:4_0\tFirmware:8_1\r\n" + asteriscos + "\r\n");
}
