// The SD storage and formatter against the standard tools: every card the formatter lays out
// passes fsck.fat -n, lists with mdir and mounts here, also after a day of the firmware's
// files; and power taken from the board at every block write of a busy minute never
// corrupts the volume nor loses more than the last second of raw records. A missing tool
// skips the test on a workstation and fails it on the build machine (CI=true).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "../unit/storage/tarjeta_prueba.h"
#include "storage/formateo_sd.h"
#include "support/fat_image.h"
#include "support/tools.h"
#include "world/sdcard.h"

using namespace sim::test;

namespace {

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

class StorageTools : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* t : {"fsck.fat", "mdir", "mcopy"}) {
            std::string path = find_tool(t);
            if (!path.empty()) {
                tools_[t] = path;
                continue;
            }
            const char* ci = getenv("CI");
            if (ci && std::string(ci) == "true") FAIL() << t << " is missing (apt-get install dosfstools mtools)";
            GTEST_SKIP() << t << " is not installed (apt-get install dosfstools mtools)";
        }
    }
    void TearDown() override {
        for (const std::string& f : files_) std::remove(f.c_str());
    }
    std::string temp(const std::string& name) {
        std::string path = temp_path(name);
        std::remove(path.c_str());
        files_.push_back(path);
        return path;
    }
    // The partition of MBR entry 1.
    static void partition(const std::string& image, uint32_t& first, uint32_t& count) {
        FileImage f(image);
        uint8_t mbr[512] = {};
        EXPECT_TRUE(f.read(0, mbr));
        first = le32(mbr + 454);
        count = le32(mbr + 458);
    }
    ToolRun fsck(const std::string& image, const char* options = "-n") {
        uint32_t first, count;
        partition(image, first, count);
        std::string part = temp("part.img");
        if (!sim::test::extract_blocks(image, first, count, part)) return ToolRun{};
        return run(tools_["fsck.fat"] + " " + options + " " + quote(part));
    }
    ToolRun mtools(const char* command, const std::string& image, const std::string& args) {
        uint32_t first, count;
        partition(image, first, count);
        return run("MTOOLS_SKIP_CHECK=1 " + tools_[command] + " -i " +
                   quote(image + "@@" + std::to_string(first * 512ull)) + " " + args);
    }

    std::map<std::string, std::string> tools_;
    std::vector<std::string> files_;
};

// ---------------------------------------------------------------- formatter

struct Forma {
    const char* label;
    uint32_t blocks;
    bool sdhc;
    bool erase;
    bool ones;
    const char* fsck_entries;
};

void PrintTo(const Forma& f, std::ostream* os) { *os << f.label; }

class StorageFormatShapes : public StorageTools, public ::testing::WithParamInterface<Forma> {};

// Formats the card, checks it with the tools, then lets the firmware's storage write a day
// directory and its files on it and checks again.
TEST_P(StorageFormatShapes, FormattedCardPassesFsckMdirAndTakesTheFirmwaresFiles) {
    const Forma& f = GetParam();
    std::string path = temp(std::string(f.label) + ".img");
    Harness h;
    {
        sim::SdCardConfig config;
        config.blocks = f.blocks;
        config.high_capacity = f.sdhc;
        config.erased_reads_ones = f.ones;
        sim::SdCard card(config);
        std::string error;
        ASSERT_TRUE(card.open(path, error)) << error;
        h.board.connect_card(&card);
        h.run([&] {
            arranque_base_tiempos();
            sodaq_wdt_enable(WDT_PERIOD_2X);
            CTE_BORRAR_SD = f.erase ? 1 : 0;
            Formatear_SD();
            Serial1.flush();
        });
        ASSERT_NE(h.console.text().find("Format done\n"), std::string::npos) << h.console.text();
    }
    ToolRun formatted = fsck(path, "-n -v");
    EXPECT_EQ(formatted.status, 0) << formatted.out;
    EXPECT_NE(formatted.out.find(f.fsck_entries), std::string::npos) << formatted.out;
    ToolRun listing = mtools("mdir", path, "::/");
    EXPECT_EQ(listing.status, 0) << listing.out;
    EXPECT_NE(listing.out.find("No files"), std::string::npos) << listing.out;

    // The firmware's storage on the new card: start-up, directory and a few records.
    {
        sim::SdCardConfig config;
        config.high_capacity = f.sdhc;
        sim::SdCard card(config);
        std::string error;
        ASSERT_TRUE(card.open(path, error)) << error;
        h.board.connect_card(&card);
        h.run([&] {
            arranque_base_tiempos();
            estado_inicial_almacenamiento();
            for (int i = 0; i < 3; ++i) pasada_sd();
            EXPECT_EQ(resSdOk, 1);
            EXPECT_EQ(CTE_PORCENTAJE_FULL_SD, 0);
            for (int i = 0; i < 200; ++i) {
                pon_registro(0, "raw " + std::to_string(i) + "\r\n");
                if (i % 50 == 0) pon_registro(1, "wav " + std::to_string(i) + "\r\n");
                gestion_tarjeta_sd();
                sodaq_wdt_reset(); // armed by the formatter's run: the main loop feeds it
                delay(100);
            }
            pon_registro(2, "res\r\n");
            ccreacion_nuevo_fichero[0] = 3;
            ccreacion_nuevo_fichero[1] = 3;
            gestion_tarjeta_sd();
            gestion_tarjeta_sd();
            estado_inicial_almacenamiento(); // unmounts without writing: what is on the card stays
        });
    }
    ToolRun used = fsck(path);
    EXPECT_EQ(used.status, 0) << used.out;
    ToolRun day = mtools("mdir", path, "-b ::/240305 ::/_sd");
    EXPECT_EQ(day.out,
              "::/240305/1430.raw\n::/240305/1430.wav\n::/240305/1430.res\n::/_sd/escritura_sd.txt\n")
        << day.out;
    EXPECT_EQ(mtools("mcopy", path, "-n ::/240305/1430.res -").out, "res\r\n");
    std::string raw = mtools("mcopy", path, "-n ::/240305/1430.raw -").out;
    EXPECT_EQ(raw.substr(0, 7), "raw 0\r\n");
    EXPECT_EQ(raw.substr(raw.size() - 9), "raw 199\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cards, StorageFormatShapes,
    ::testing::Values(Forma{"Standard7MB", 7 * 2048, false, true, false, "16 bit entries"},
                      Forma{"Standard64MBErasedToOnes", 131072, false, true, true, "16 bit entries"},
                      Forma{"Standard2GB", 3970048, false, false, false, "16 bit entries"},
                      Forma{"Sdhc4GB", 8388608, true, true, false, "32 bit entries"},
                      Forma{"Sdhc32GB", 62333952, true, false, false, "32 bit entries"}),
    [](const ::testing::TestParamInfo<Forma>& info) { return info.param.label; });

// ---------------------------------------------------------------- power cuts

// One busy minute of the write cycle: a raw record every 100 ms, a per-wave record every
// 2.5 s, and every 20 s the end of an interval (raw and per-wave files closed and new ones
// made under the next minute's name) with its result record. Records are raised as the
// builders raise them; each is remembered with the time it was handed to the cycle.
struct Minuto {
    std::vector<std::string> raw, wav, res;
    std::vector<sim::Nanos> raw_t, wav_t, res_t;
    int wav_done = 0, res_done = 0; // records the cycle had written when no cut had yet come
    bool cut = false;
    sim::Nanos cut_t = 0;
};

std::string registro_raw(uint32_t n) {
    char line[80];
    snprintf(line, sizeof line, "%06u,14,30,00,%05u,0240, 00123,+0.1234,-0.5678,1,1\r\n", n, n % 100000);
    return line;
}

void minuto_de_escritura(Harness& h, RamCard& card, Minuto& m) {
    card.on_failed_write = [&] {
        if (!m.cut) m.cut = true, m.cut_t = h.board.now();
    };
    h.run([&] {
        arranque_base_tiempos();
        estado_inicial_almacenamiento();
        for (int i = 0; i < 3 && !m.cut; ++i) pasada_sd();
        sim::Nanos inicio = h.board.now();
        sim::Nanos next_raw = inicio, next_wav = inicio + 1250 * sim::kMilli, next_int = inicio + 20 * sim::kSecond;
        while (!m.cut && h.board.now() - inicio < 60 * sim::kSecond) {
            sim::Nanos now = h.board.now();
            if (now >= next_int) {
                next_int += 20 * sim::kSecond;
                if (existe_fichero_datos(0) == 1) ccreacion_nuevo_fichero[0] = 3;
                if (existe_fichero_datos(1) == 1) ccreacion_nuevo_fichero[1] = 3;
                cminuto_utc++;
                if (existe_fichero_datos(2) == 1) {
                    std::string r = "res " + std::to_string(m.res.size()) + "\r\n";
                    pon_registro(2, r);
                    ccreacion_nuevo_fichero[2] = 2;
                    m.res.push_back(r), m.res_t.push_back(now);
                }
            }
            if (now >= next_raw) {
                next_raw += 100 * sim::kMilli;
                if (ccreacion_nuevo_fichero[0] != 0 && existe_fichero_datos(0) == 1) {
                    std::string r = registro_raw(static_cast<uint32_t>(m.raw.size()));
                    pon_registro(0, r);
                    m.raw.push_back(r), m.raw_t.push_back(now);
                }
            }
            if (now >= next_wav) {
                next_wav += 2500 * sim::kMilli;
                if (ccreacion_nuevo_fichero[1] != 0 && existe_fichero_datos(1) == 1) {
                    std::string r = "wav " + std::to_string(m.wav.size()) + ",0123,0087,2400\r\n";
                    pon_registro(1, r);
                    m.wav.push_back(r), m.wav_t.push_back(now);
                }
            }
            gestion_tarjeta_sd();
            if (!m.cut) {
                if (cescritura_sd[1] == 0) m.wav_done = static_cast<int>(m.wav.size());
                if (cescritura_sd[2] == 0) m.res_done = static_cast<int>(m.res.size());
            }
            delay(5);
        }
        if (!m.cut) { // the minute ends with an interval end: files closed
            ccreacion_nuevo_fichero[0] = ccreacion_nuevo_fichero[1] = 3;
            gestion_tarjeta_sd();
        }
        estado_inicial_almacenamiento(); // the board is gone: nothing more reaches the card
    });
    card.on_failed_write = nullptr;
}

// The files of one kind in the day directory, in directory order, joined.
std::string contenido_tipo(BlockImage& image, const char* ext) {
    FatVolume v;
    v.attach(image.device());
    if (!v.mount(1) && !v.mount(0)) return "<no volume>";
    FatFile dir, entry;
    if (!dir.open(v, "/240305", O_READ)) return "";
    std::string all;
    while (entry.openNext(dir, O_READ)) {
        char name[13];
        entry.getName(name, sizeof name);
        std::string n = name;
        entry.close();
        if (n.size() > 4 && n.substr(n.size() - 4) == ext) all += lee_fichero(image, "/240305/" + n);
    }
    return all;
}

// How many whole records of `sent` form the start of `text`; -1 when text is not such a start.
int prefijo(const std::vector<std::string>& sent, const std::string& text) {
    size_t at = 0;
    int n = 0;
    while (at < text.size()) {
        if (n >= static_cast<int>(sent.size()) || text.compare(at, sent[n].size(), sent[n]) != 0) return -1;
        at += sent[n].size();
        ++n;
    }
    return n;
}

class StoragePowerCuts : public StorageTools, public ::testing::WithParamInterface<uint8_t> {};

// With 1-block clusters the raw file takes a new cluster about every second, so cluster
// allocation is among the cut points as often as plain appends; 64-block clusters are those
// of a 2 GB card.
TEST_P(StoragePowerCuts, CutAtEveryBlockWriteKeepsTheVolumeAndAllButTheLastSecond) {
    uint8_t cluster_blocks = GetParam();
    RamImage base(cluster_blocks == 1 ? 65536 : 300000);
    sim::FatFormat format;
    format.fat_bits = 16;
    format.cluster_blocks = cluster_blocks;
    base.format(format);

    // The whole minute once, to count its block writes.
    uint64_t total;
    {
        auto image = base.clone();
        RamCard card(*image, false);
        Harness h;
        h.board.connect_card(&card);
        Minuto m;
        minuto_de_escritura(h, card, m);
        ASSERT_FALSE(m.cut);
        total = image->writes;
        EXPECT_EQ(contenido_tipo(*image, ".raw").size(), 600 * registro_raw(0).size());
        ASSERT_TRUE(check_fat(*image).clean()) << check_fat(*image).text();
        ASSERT_EQ(m.raw.size(), 600u);
        RecordProperty("block_writes_per_minute", static_cast<int>(total));
    }

    int fsck_clean = 0, fsck_repairs = 0;
    sim::Nanos peor_perdida = 0;
    std::string repairs;
    for (uint64_t cut = 1; cut < total; ++cut) {
        auto image = base.clone();
        image->cut_power_after(static_cast<int64_t>(cut));
        RamCard card(*image, false);
        Harness h;
        h.board.connect_card(&card);
        Minuto m;
        minuto_de_escritura(h, card, m);
        ASSERT_TRUE(m.cut) << cut;
        image->cut_power_after(-1);

        FatReport report = check_fat(*image);
        ASSERT_TRUE(report.no_corruption()) << "cut after write " << cut << ": " << report.text();

        // Every raw record handed over more than a second before the cut is on the card;
        // every per-wave and result record whose pass ended before the cut is there too.
        int raw = prefijo(m.raw, contenido_tipo(*image, ".raw"));
        int wav = prefijo(m.wav, contenido_tipo(*image, ".wav"));
        int res = prefijo(m.res, contenido_tipo(*image, ".res"));
        ASSERT_GE(raw, 0) << "cut " << cut << ": raw files are not a run of whole records";
        ASSERT_GE(wav, 0) << "cut " << cut;
        ASSERT_GE(res, 0) << "cut " << cut;
        EXPECT_GE(wav, m.wav_done) << "cut " << cut;
        EXPECT_GE(res, m.res_done) << "cut " << cut;
        if (raw < static_cast<int>(m.raw.size())) {
            sim::Nanos edad = m.cut_t - m.raw_t[raw]; // the oldest raw record lost
            peor_perdida = std::max(peor_perdida, edad);
            EXPECT_LE(edad, 1050 * sim::kMilli) << "cut " << cut << ": raw records lost from " << raw;
        }

        std::string path = temp("cut.img");
        image->save(path);
        ToolRun check = fsck(path);
        if (check.status == 0) {
            ++fsck_clean;
        } else {
            // What fsck would repair is only what an interrupted allocation leaves: a cluster
            // taken but not yet in the file's size, or one FAT copy a block behind.
            ++fsck_repairs;
            EXPECT_EQ(report.cross_links + report.broken_chains + report.short_chains + report.bad_entries, 0u);
            EXPECT_GT(report.lost + report.long_chains + report.fat_copies_differ, 0u)
                << "cut " << cut << ": fsck complains of something else:\n" << check.out;
            if (repairs.size() < 2000) repairs += "cut " + std::to_string(cut) + ": " + report.text() + "\n";
            // fsck's repairs lose nothing that was on the card: afterwards the volume is
            // clean and holds the same records.
            uint32_t first, count;
            partition(path, first, count);
            std::string part = temp("cut.part");
            ASSERT_TRUE(sim::test::extract_blocks(path, first, count, part));
            run(tools_["fsck.fat"] + " -a " + quote(part));
            ToolRun again = run(tools_["fsck.fat"] + " -n " + quote(part));
            EXPECT_EQ(again.status, 0) << "cut " << cut << ":\n" << again.out;
            FileImage repaired(part);
            EXPECT_EQ(prefijo(m.raw, contenido_tipo(repaired, ".raw")), raw) << "cut " << cut;
            EXPECT_EQ(prefijo(m.wav, contenido_tipo(repaired, ".wav")), wav) << "cut " << cut;
            EXPECT_EQ(prefijo(m.res, contenido_tipo(repaired, ".res")), res) << "cut " << cut;
        }

        // The board starts again on the unrepaired card: same day directory, the result
        // file found again, raw and per-wave files of the same minute appended to.
        if (cut % 5 == 0) {
            std::string raw_antes = lee_fichero(*image, "/240305/1430.raw");
            if (raw_antes == "<missing>") raw_antes.clear();
            h.run([&] {
                arranque_base_tiempos();
                estado_inicial_almacenamiento();
                cminuto_utc = 30; // a minute the first run also wrote in
                for (int i = 0; i < 4; ++i) pasada_sd();
                EXPECT_EQ(ctarjeta_sd_inicializada, 1) << "cut " << cut;
                for (int i = 0; i < 30; ++i) {
                    pon_registro(0, registro_raw(900000 + i));
                    gestion_tarjeta_sd();
                    delay(100);
                }
                ccreacion_nuevo_fichero[0] = ccreacion_nuevo_fichero[1] = 3;
                gestion_tarjeta_sd();
                estado_inicial_almacenamiento();
            });
            FatReport after = check_fat(*image);
            EXPECT_TRUE(after.no_corruption()) << "restart after cut " << cut << ": " << after.text();
            std::string raw_despues = lee_fichero(*image, "/240305/1430.raw");
            EXPECT_EQ(raw_despues.compare(0, raw_antes.size(), raw_antes), 0) << "restart after cut " << cut;
            EXPECT_NE(raw_despues.find(registro_raw(900029)), std::string::npos) << "restart after cut " << cut;
        }
    }
    RecordProperty("cuts_fsck_clean", fsck_clean);
    RecordProperty("cuts_fsck_repairs", fsck_repairs);
    RecordProperty("oldest_raw_record_lost_ms", static_cast<int>(peor_perdida / sim::kMilli));
    printf("block writes in the minute: %llu; cuts leaving fsck.fat -n clean: %d, with repairs to offer: %d; "
           "oldest raw record lost: %llu ms before the cut\n%s",
           static_cast<unsigned long long>(total), fsck_clean, fsck_repairs,
           static_cast<unsigned long long>(peor_perdida / sim::kMilli), repairs.c_str());
}

INSTANTIATE_TEST_SUITE_P(Clusters, StoragePowerCuts, ::testing::Values(1, 64),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                             return "Blocks" + std::to_string(info.param);
                         });

} // namespace
