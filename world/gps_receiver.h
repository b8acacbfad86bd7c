// The GPS receiver on the board's GPS port, powered through board pin 17.
//
// GpsReceiver is the part every model shares: power, the serial rate it transmits and
// listens at, the fix (time to first fix, satellites, dilutions, position) and UTC, the
// once-per-second burst of NMEA sentences, and the byte-by-byte reading of configuration
// commands. Two families put their own protocol on top:
//   - PmtkReceiver ("L76LB"): "$PMTK" commands, acknowledged with "$PMTK001,<cmd>,<flag>";
//     nothing survives a power cycle.
//   - CfgmsgReceiver ("SIM66M", "SIM66MD", "UC6226NIS"): "$CFGMSG", "$CFGPRT", "$CFGSAVE",
//     each answered "$OK"; the configuration survives a power cycle once saved.
//
// Time: UTC follows the scenario's start time at the world's own clock (the receiver
// disciplines to the satellites; the board's oscillator error does not reach it). The
// receiver computes a fix at every whole UTC second and starts sending that second's
// burst `output_latency` later; the sentences carry the whole second (".000").
//
// Before its first fix after power-up the receiver still sends its sentences, with the
// time, position and dilution fields empty and 00 satellites in use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "world/gps_nmea.h"
#include "world/link.h"

namespace sim {

// The sentences the models can send. The numbering is the CFGMSG family's message number in
// class 0 (GGA 0 .. GST 7).
enum class GpsSentence : uint8_t { GGA, GLL, GSA, GSV, RMC, VTG, ZDA, GST };
constexpr size_t kGpsSentenceCount = 8;
const char* gps_sentence_name(GpsSentence s);

// The rates the firmware's GPS port can be opened at (its baud table, index 0..6); every
// model supports exactly these.
constexpr std::array<uint32_t, 7> kGpsBaudRates = {4800, 9600, 14400, 19200, 38400, 57600, 115200};
bool gps_baud_supported(uint32_t baud);

// The receiver's settings that its commands change.
struct GpsOutputConfig {
    // Output rate of each sentence (index = GpsSentence): 0 = off, n = once every n fixes.
    std::array<uint8_t, kGpsSentenceCount> rates{};
    uint32_t baud = 9600;
    bool sbas = false;
};

struct GpsReceiverOptions {
    // The rate the receiver powers up at until a command changes it (for the CFGMSG family:
    // until a saved configuration replaces it). One of kGpsBaudRates.
    uint32_t baud = 9600;
    // UTC, in Unix seconds, at the moment the receiver is constructed. Default
    // 2026-01-01T00:00:00Z.
    int64_t start_unix = 1767225600;
    Nanos boot_time = 500 * kMilli;       // power-up to the announcement; deaf until then
    Nanos output_latency = 100 * kMilli;  // UTC second to the first byte of its burst
    Nanos reply_delay = 10 * kMilli;      // command's last byte to the first byte of the answer
    // Time to first fix from power-up: `ttff` for a cold start, `ttff_hot` when the last fix
    // is no older than `ephemeris_validity` (the satellites' orbits are still known).
    Nanos ttff = 30 * kSecond;
    Nanos ttff_hot = 5 * kSecond;
    Nanos ephemeris_validity = 4 * 3600 * kSecond;
    bool no_fix = false;      // never gets a fix (antenna disconnected, no sky)
    int satellites = 8;       // satellites in use once fixed, 0..24
    double pdop = 1.6;        // dilutions of precision once fixed, each in (0, 99.99]
    double hdop = 0.9;
    double vdop = 1.3;
    double latitude_deg = 43.3700;   // position once fixed, north and east positive
    double longitude_deg = -8.4000;
    double altitude_m = 3.0;
    int position_decimals = 4;       // decimals of the minutes in latitude and longitude, 3..6
    std::string firmware_version = "V1.0"; // shown in the CFGMSG family's announcement
    // Faults, drawn per sentence from their own seed (announcements and replies included).
    double checksum_error_probability = 0.0; // the sentence carries a wrong checksum
    double drop_probability = 0.0;           // the sentence is not sent at all
    uint64_t fault_seed = 1;
};

class GpsReceiver : public UartDevice {
public:
    ~GpsReceiver() override = default;
    GpsReceiver(const GpsReceiver&) = delete;
    GpsReceiver& operator=(const GpsReceiver&) = delete;

    // Pin 17 of the board. Switching on boots the receiver with its power-up configuration;
    // switching off silences it at once and loses everything it was not told to save.
    void set_power(bool on);
    // The sky taken away (the antenna covered or cut) or given back: without it no fix from
    // the next epoch on; given back, a receiver past its time to first fix fixes again.
    void set_sky(bool open) { options_.no_fix = !open; }
    // A byte from the board, heard only while powered and booted, at the receiver's rate.
    void on_byte(uint8_t b) override;

    const std::string& model() const { return model_; }
    bool powered() const { return powered_; }
    bool booted() const { return booted_; }
    uint32_t baud() const { return uart_baud_; }     // rate it transmits and listens at now
    bool sbas_enabled() const { return config_.sbas; }
    // The settings in effect; its baud is the configured rate, which baud() follows once
    // the answer to the change has left. While switched off: those last in effect.
    const GpsOutputConfig& configuration() const { return config_; }
    uint8_t sentence_rate(GpsSentence s) const { return config_.rates[static_cast<size_t>(s)]; }
    // Names of the sentences switched on, in the order they leave in a burst ("GGA", ...).
    std::vector<std::string> configured_sentences() const;
    // UTC at virtual time t, whole Unix seconds.
    int64_t utc_at(Nanos t) const;
    // Virtual time of the first burst that carried a fix: since the last power-up, and
    // since the receiver was built.
    std::optional<Nanos> fix_time() const { return fix_time_; }
    std::optional<Nanos> first_fix_time() const { return first_fix_time_; }
    const GpsReceiverOptions& options() const { return options_; }

    struct Stats {
        uint64_t power_ups = 0;
        uint64_t bursts = 0;               // once-per-second bursts sent
        uint64_t bursts_skipped = 0;       // not sent: the previous output was still queued
        uint64_t sentences_sent = 0;       // every sentence put on the line, replies included
        uint64_t sentences_dropped = 0;
        uint64_t sentences_corrupted = 0;
        uint64_t bytes_heard = 0;          // bytes received while listening
        uint64_t commands_received = 0;    // well-framed lines with an acceptable checksum
        uint64_t commands_bad_checksum = 0; // lines refused for their checksum
        uint64_t commands_not_understood = 0; // received, but not a command of this family
    };
    const Stats& stats() const { return stats_; }

protected:
    // `order`: the sentences in the order they leave in a burst. `factory`: the settings
    // after power-up when nothing was saved (its baud is replaced by options.baud).
    // Throws std::invalid_argument for options out of range.
    GpsReceiver(Scheduler& clock, UartLink& line, std::string model, const GpsReceiverOptions& options,
                const GpsOutputConfig& factory, std::vector<GpsSentence> order);

    // ---- what a family adds
    // Sent once the receiver has booted.
    virtual void announce() = 0;
    // Whether a command without "*hh" is refused.
    virtual bool checksum_required() const = 0;
    // A received command, the characters between "$" and "*". Returns false when the
    // family does not know it.
    virtual bool on_command(const std::string& body) = 0;
    // The settings to start with at power-up.
    virtual GpsOutputConfig power_up_configuration() const { return factory_; }

    // ---- services for the families
    // Sends one sentence "$body*hh" CR LF now, with the fault options applied.
    void send_sentence(const std::string& body);
    // Sends a line as it is (CR LF added), subject to the drop fault only.
    void send_line(const std::string& text);
    // Runs fn after reply_delay unless the receiver was switched off or restarted meanwhile.
    void reply(std::function<void()> fn);
    // Sets the configured rate now (a save includes it) and switches the line to it once
    // everything queued so far has left at the old one.
    void change_baud_after_output(uint32_t baud);
    // Restarts the receiver's firmware without a power cycle: boots again, keeping the
    // settings. `keep_ephemeris` false forces a cold start.
    void restart(bool keep_ephemeris);
    const GpsOutputConfig& factory() const { return factory_; }

    GpsOutputConfig config_;

private:
    void boot(Nanos ttff);
    void schedule_epoch(uint64_t second);
    void epoch(uint64_t generation, uint64_t second);
    std::string sentence_body(GpsSentence s, bool fixed, int64_t utc) const;
    void append_sentence(std::string& out, const std::string& body);
    void finish_line();
    double fault_uniform();

    Scheduler& clock_;
    UartLink& line_;
    std::string model_;
    GpsReceiverOptions options_;
    GpsOutputConfig factory_;
    std::vector<GpsSentence> order_;
    Nanos built_at_ = 0;           // virtual time at which UTC = options_.start_unix
    uint32_t uart_baud_ = 0;       // rate of the serial line now (lags config_.baud on a change)
    bool powered_ = false;
    bool booted_ = false;
    uint64_t generation_ = 0;      // bumped at every power change and restart
    Nanos fix_ready_ = 0;          // UTC-second boundaries from this time on carry a fix
    uint64_t epochs_in_boot_ = 0;  // fixes computed since boot, for the output rates
    std::optional<Nanos> fix_time_, first_fix_time_, last_fix_;
    std::string rx_line_;          // command being received, from its "$"
    bool rx_active_ = false;
    std::mt19937_64 faults_;
    Stats stats_;
};

// "L76LB": PMTK commands.
//   000 test; 101/102/103 hot/warm/cold restart and 104 full cold restart (factory
//   settings); 251 baud rate; 313 SBAS; 314 sentence rates; 414 query of the rates.
// Announces itself after boot with "$PMTK011,MTKGPS*08" and "$PMTK010,001*2E".
// Factory output: RMC, VTG, GGA, GSA, GSV and GLL at every fix; ZDA off; SBAS off.
class PmtkReceiver final : public GpsReceiver {
public:
    PmtkReceiver(Scheduler& clock, UartLink& line, const GpsReceiverOptions& options = {});

private:
    void announce() override;
    bool checksum_required() const override { return true; }
    bool on_command(const std::string& body) override;
    void acknowledge(int command, int flag);
};

// "SIM66M", "SIM66MD", "UC6226NIS": CFGMSG commands.
//   $CFGMSG,<class>,<id>,<rate>  class 0 only; id 0..7 = GGA, GLL, GSA, GSV, RMC, VTG, ZDA,
//                                GST; rate 0 (off) .. 10
//   $CFGPRT,<port>,<mode>,<baud>[,...]  baud rate (port and mode not modelled)
//   $CFGSAVE[,<mask>]                 keeps the sentence rates and baud across power cycles
// each answered "$OK*04"; a malformed command gets no answer. The checksum is optional on
// commands, but a wrong one makes the receiver ignore the command.
// Announces itself after boot with a line "<model>,<firmware_version>" (no checksum).
// Factory output: GGA, GLL, GSA, GSV, RMC, VTG at every fix; ZDA and GST off.
class CfgmsgReceiver final : public GpsReceiver {
public:
    // Throws std::invalid_argument for a model outside the family.
    CfgmsgReceiver(Scheduler& clock, UartLink& line, const std::string& model, const GpsReceiverOptions& options = {});

    bool has_saved_configuration() const { return saved_.has_value(); }

private:
    void announce() override;
    bool checksum_required() const override { return false; }
    bool on_command(const std::string& body) override;
    GpsOutputConfig power_up_configuration() const override;
    void answer_ok();

    std::optional<GpsOutputConfig> saved_;
};

// The models by name, as a scenario names them: "L76LB", "SIM66M", "SIM66MD", "UC6226NIS".
const std::vector<std::string>& gps_receiver_models();
// Builds the model named; throws std::invalid_argument naming the models for any other name.
std::unique_ptr<GpsReceiver> make_gps_receiver(const std::string& model, Scheduler& clock, UartLink& line,
                                               const GpsReceiverOptions& options = {});

} // namespace sim
