// The EEPROM chip model: the rules of the part that the firmware's writer must respect.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "support/fake_world.h"
#include "world/eeprom.h"

using namespace sim;

TEST(EepromModel, PageWriteWrapsInsideThePageAndChipNacksDuringItsWriteCycle) {
    test::FakeScheduler clock;
    Eeprom24 chip(clock);
    EXPECT_EQ(chip.data()[31], 0xFF); // blank
    // Two bytes at 31: the second wraps to 0 of the same page, not to 32.
    const uint8_t w[] = {0x00, 31, 0xAA, 0xBB};
    ASSERT_TRUE(chip.write(w, sizeof w));
    EXPECT_EQ(chip.data()[31], 0xAA);
    EXPECT_EQ(chip.data()[0], 0xBB);
    EXPECT_EQ(chip.data()[32], 0xFF);
    // Busy for its write cycle: neither address nor read is acknowledged.
    const uint8_t addr[] = {0x00, 31};
    EXPECT_FALSE(chip.write(addr, 2));
    clock.run_until(5 * kMilli);
    ASSERT_TRUE(chip.write(addr, 2));
    uint8_t r[2];
    ASSERT_TRUE(chip.read(r, 2));
    EXPECT_EQ(r[0], 0xAA);
    EXPECT_EQ(r[1], 0xFF); // sequential reads run across the page into 32
}

TEST(EepromModel, ImageFileOfTheWrongSizeIsRefusedWithItsName) {
    test::FakeScheduler clock;
    Eeprom24 chip(clock);
    std::string path = ::testing::TempDir() + "/short_eeprom.bin";
    std::ofstream(path, std::ios::binary) << "abc";
    std::string error;
    EXPECT_FALSE(chip.load(path, error));
    EXPECT_NE(error.find(path), std::string::npos);
    EXPECT_NE(error.find("4096"), std::string::npos);
    EXPECT_EQ(chip.data()[0], 0xFF); // untouched
    chip.data()[7] = 20;
    ASSERT_TRUE(chip.save(path, error));
    Eeprom24 again(clock);
    ASSERT_TRUE(again.load(path, error));
    EXPECT_EQ(again.data()[7], 20);
    std::remove(path.c_str());
}
