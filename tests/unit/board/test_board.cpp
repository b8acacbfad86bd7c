// The simulated board: serial timing and corruption, queues, the timer against the
// oscillator, the watchdog and reset, the heap limit.
#include <gtest/gtest.h>

#include <vector>

#include <string>

#include "board/sim/board.h"
#include "platform.h"
#include "world/terminal.h"

using namespace sim;

namespace {

struct Rig {
    Board board;
    Terminal term;
    UartLink* link;
    explicit Rig(uint32_t device_baud = 115200, BoardConfig cfg = {}) : board(cfg) {
        link = &board.connect_uart(1, &term, device_baud);
        term.attach(board, *link);
    }
};

} // namespace

TEST(BoardSerial, BytesArriveTenBitTimesApartAndIdlePollingJumpsToThem) {
    Rig r;
    std::string got;
    std::vector<Nanos> when;
    r.board.run_code([&] {
        Serial1.begin(115200);
        r.term.type("ABCDE");
        while (got.size() < 5) {
            int c = Serial1.read();
            if (c >= 0) {
                got.push_back(static_cast<char>(c));
                when.push_back(r.board.now());
            }
        }
    });
    EXPECT_EQ(got, "ABCDE");
    // 10 bits at 115200 baud = 86.8 us per byte; reads follow within a few call costs.
    for (size_t i = 1; i < when.size(); ++i) {
        EXPECT_GE(when[i] - when[i - 1], 80 * kMicro);
        EXPECT_LE(when[i] - when[i - 1], 95 * kMicro);
    }
    EXPECT_LE(when[4], 5 * 86806 + 20 * kMicro);
}

TEST(BoardSerial, SenderAtAnotherRateGivesCorruptedBytesAndCloseRatesDoNot) {
    auto receive = [](uint32_t device_baud) {
        Rig r(device_baud);
        std::string got;
        r.board.run_code([&] {
            Serial1.begin(9600);
            r.term.type("$GPGGA,123");
            uint32_t t0 = millis();
            while (millis() - t0 < 100) {
                int c = Serial1.read();
                if (c >= 0) got.push_back(static_cast<char>(c));
            }
        });
        return got;
    };
    EXPECT_EQ(receive(9600), "$GPGGA,123");
    EXPECT_EQ(receive(9700), "$GPGGA,123"); // 1 % off: within a UART's tolerance
    std::string fast = receive(38400);
    std::string slow = receive(4800);
    EXPECT_NE(fast, "$GPGGA,123");
    EXPECT_NE(slow, "$GPGGA,123");
    EXPECT_EQ(fast.find("GGA"), std::string::npos);
    EXPECT_EQ(receive(38400), fast); // the same waveform always decodes the same way
}

TEST(BoardSerial, FullReceiveQueueDropsAndCountsTheExcess) {
    Rig r;
    r.board.run_code([&] {
        Serial1.begin(115200);
        r.term.type(std::string(400, 'x'));
        delay(100); // nobody reads for 100 ms: the whole burst has arrived
        EXPECT_EQ(Serial1.available(), 350);
    });
    EXPECT_EQ(r.board.uart_dropped(1), 50u);
    EXPECT_EQ(r.board.uart_bytes_to_board(1), 400u);
}

TEST(BoardSerial, WritesBlockWhenTheQueueIsFullAndLeaveAtTheBaudRate) {
    Rig r(9600);
    Nanos after_write = 0;
    r.board.run_code([&] {
        Serial1.begin(9600);
        for (int i = 0; i < 1000; ++i) Serial1.write(static_cast<uint8_t>('a' + i % 26));
        after_write = r.board.now();
        Serial1.flush();
    });
    // 1000 bytes at 1.0417 ms each; the write returns once all but a queue's worth are out.
    double ms_per_byte = 10.0 / 9600 * 1000;
    EXPECT_NEAR(after_write / 1e6, (1000 - 351) * ms_per_byte, 3 * ms_per_byte);
    EXPECT_NEAR(r.board.now() / 1e6, 1000 * ms_per_byte, 1.0);
    ASSERT_EQ(r.term.text().size(), 1000u);
    EXPECT_EQ(r.term.text().substr(0, 3), "abc");
    EXPECT_NEAR(r.term.times().back() / 1e6, 1000 * ms_per_byte, 0.1);
}

namespace {
volatile uint32_t g_ticks = 0;
void count_tick() { ++g_ticks; }
} // namespace

TEST(BoardTimer, TickFollowsTheCompareValueAndTheOscillatorError) {
    for (double ppm : {0.0, 5000.0, -10000.0}) {
        BoardConfig cfg;
        cfg.oscillator_ppm = ppm;
        Board board(cfg);
        g_ticks = 0;
        board.run_code([&] {
            timer_tc0_setup(1, 48000);
            timer_tc0_start();
            while (g_ticks < 10000) sodaq_wdt_reset();
        }, &count_tick);
        // 10000 ticks of 48000 cycles of a 48 MHz x (1 + ppm) clock.
        double expected_s = 10000 * 48000 / (48e6 * (1 + ppm * 1e-6));
        EXPECT_NEAR(board.now() / 1e9, expected_s, 20e-6) << ppm;
        // millis() counts the same clock.
        uint32_t ms = 0;
        board.run_code([&] { ms = millis(); });
        EXPECT_NEAR(ms, 10000, 1) << ppm;
    }
}

// The clock the firmware reads a millisecond at a time (a span carried on from the one
// before, or worked out afresh after a jump) is the cycle count's, and its next change falls
// at the exact instant of the next millisecond's cycle, for gaps shorter and longer than one.
TEST(BoardTimer, MillisAndItsNextChangeFollowTheCycleCountAcrossStepsAndJumps) {
    for (double ppm : {-10000.0, 37.3, 5000.0}) {
        BoardConfig cfg;
        cfg.oscillator_ppm = ppm;
        Board board(cfg);
        board.run_code([&] {
            const uint32_t gaps_ms[] = {0, 1, 1, 2, 1, 7, 1, 1, 250, 1};
            for (int k = 0; k < 3000; ++k) {
                delay(gaps_ms[k % 10]);
                const uint32_t ms = millis();
                ASSERT_EQ(ms, board.millis()) << ppm << " " << k;
                const Nanos next = board.next_millis_change();
                ASSERT_EQ(board.cycles_at(next) / 48000, ms + 1ull) << ppm << " " << k;
                ASSERT_EQ(board.cycles_at(next - 1) / 48000, ms) << ppm << " " << k;
            }
        });
    }
}

namespace {
std::vector<Nanos> g_tick_times;
void record_tick() { g_tick_times.push_back(Board::current().now()); }
} // namespace

// Each compare match falls at the exact instant of its cycle count, tick after tick, for an
// oscillator error and a period that leave a remainder: the ISR runs there, or within the
// call it falls in.
TEST(BoardTimer, EveryTickFallsAtTheInstantOfItsCycleCount) {
    BoardConfig cfg;
    cfg.oscillator_ppm = 37.3;
    Board board(cfg);
    g_tick_times.clear();
    uint64_t start_cycles = 0;
    board.run_code([&] {
        timer_tc0_setup(3, 16001);
        timer_tc0_start();
        start_cycles = board.cycles_at(board.now());
        while (g_tick_times.size() < 50000) sodaq_wdt_reset();
    }, &record_tick);
    for (size_t k = 1; k <= g_tick_times.size(); ++k) {
        const Nanos due = board.time_of_cycles(start_cycles + k * 3 * 16001);
        ASSERT_GE(g_tick_times[k - 1], due) << k;
        ASSERT_LT(g_tick_times[k - 1], due + cfg.call_cost) << k;
    }
}

TEST(BoardWatchdog, UnfedWatchdogResetsAfterItsPeriod) {
    Board board;
    Nanos reset_at = 0;
    std::string cause;
    try {
        board.run_code([&] {
            sodaq_wdt_enable(WDT_PERIOD_2X);
            for (;;) Serial1.available(); // polls, never feeds
        });
    } catch (const BoardReset& r) {
        reset_at = board.now();
        cause = r.cause;
    }
    EXPECT_NEAR(reset_at / 1e9, 2.0, 0.001);
    EXPECT_NE(cause.find("not fed"), std::string::npos);
}

TEST(BoardHeap, GrowthBeyondTheLimitFailsAndKeepsTheOldBlock) {
    BoardConfig cfg;
    cfg.heap_limit = 1000;
    Board board(cfg);
    board.run_code([&] {
        auto* p = static_cast<uint8_t*>(heap_alloc(600));
        ASSERT_NE(p, nullptr);
        p[599] = 42;
        EXPECT_EQ(heap_realloc(p, 1200), nullptr);
        EXPECT_EQ(p[599], 42);
        auto* q = static_cast<uint8_t*>(heap_realloc(p, 900));
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(q[599], 42);
        EXPECT_EQ(heap_alloc(200), nullptr);
        heap_free(q);
        EXPECT_NE(heap_alloc(200), nullptr);
    });
    EXPECT_EQ(board.heap_failures(), 2u);
}

TEST(BoardReset, EveryBootStartsFromAFreshImageWhileTimeAndTheWorldCarryOn) {
    Board board;
    Terminal console;
    UartLink& link = board.connect_uart(1, &console, 115200);
    console.attach(board, link);
    console.type_at(3 * kSecond, "H");   // halt: the 1 s watchdog restarts the board
    console.type_at(6 * kSecond, "S");   // spin while polling: restarts it again
    LoadableFirmware fw(ONDAVIX_PROBE_IMAGE);
    board.run(fw, 10 * kSecond);
    ASSERT_EQ(board.restarts().size(), 2u);
    EXPECT_NEAR(board.restarts()[0].time / 1e9, 4.0, 0.01);
    EXPECT_NE(board.restarts()[0].cause.find("halted in the main loop"), std::string::npos);
    EXPECT_NEAR(board.restarts()[1].time / 1e9, 7.0, 0.01);
    EXPECT_NE(board.restarts()[1].cause.find("not fed"), std::string::npos);
    // Three boots, each printing the global's static initial value, not the 8 it set.
    EXPECT_EQ(console.text(), "value=7\r\nvalue=7\r\nvalue=7\r\n");
    EXPECT_EQ(board.boots(), 3u);
    // The heartbeat of the last boot runs on after the second reset.
    ASSERT_FALSE(board.pin_history(32).empty());
    EXPECT_GT(board.pin_history(32).back().first, 7 * kSecond);
}

TEST(BoardDeterminism, SameScenarioSameBytesAndTimes) {
    auto once = [] {
        Board board;
        Terminal console;
        console.attach(board, board.connect_uart(1, &console, 115200));
        console.type_at(2500 * kMilli, "H");
        LoadableFirmware fw(ONDAVIX_PROBE_IMAGE);
        board.run(fw, 5 * kSecond);
        return std::make_pair(console.text(), console.times());
    };
    EXPECT_EQ(once(), once());
}
