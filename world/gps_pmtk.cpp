// The PMTK-family receiver ("L76LB"). Command numbers, the acknowledgement "$PMTK001,<cmd>,
// <flag>" (flag 0 invalid packet, 1 unsupported packet type, 2 valid but failed, 3 valid
// and done), the start-up lines and the field order of PMTK314 follow the chipset's
// published NMEA packet manuals.
#include "world/gps_receiver.h"

#include <string>
#include <vector>

namespace sim {

namespace {

constexpr int kFlagInvalid = 0;
constexpr int kFlagUnsupported = 1;
constexpr int kFlagDone = 3;

// Field index of each sentence in PMTK314 / PMTK514 (fields 6..16 and 18 are reserved).
struct RateField {
    int field;
    GpsSentence sentence;
};
constexpr RateField kRateFields[] = {
    {0, GpsSentence::GLL}, {1, GpsSentence::RMC}, {2, GpsSentence::VTG}, {3, GpsSentence::GGA},
    {4, GpsSentence::GSA}, {5, GpsSentence::GSV}, {17, GpsSentence::ZDA},
};
constexpr int kRateFieldCount = 19;  // fields 0..18 of PMTK314
constexpr long kMaxRate = 5;         // once every 5 fixes at most

GpsOutputConfig pmtk_factory() {
    GpsOutputConfig c;
    for (GpsSentence s : {GpsSentence::RMC, GpsSentence::VTG, GpsSentence::GGA, GpsSentence::GSA, GpsSentence::GSV,
                          GpsSentence::GLL}) {
        c.rates[static_cast<size_t>(s)] = 1;
    }
    return c;
}

} // namespace

PmtkReceiver::PmtkReceiver(Scheduler& clock, UartLink& line, const GpsReceiverOptions& options)
    : GpsReceiver(clock, line, "L76LB", options, pmtk_factory(),
                  {GpsSentence::RMC, GpsSentence::VTG, GpsSentence::GGA, GpsSentence::GSA, GpsSentence::GSV,
                   GpsSentence::GLL, GpsSentence::ZDA}) {}

// The chipset's start-up pair: system text, then "startup" system message.
void PmtkReceiver::announce() {
    send_sentence("PMTK011,MTKGPS");
    send_sentence("PMTK010,001");
}

void PmtkReceiver::acknowledge(int command, int flag) {
    reply([this, command, flag] { send_sentence("PMTK001," + std::to_string(command) + "," + std::to_string(flag)); });
}

bool PmtkReceiver::on_command(const std::string& body) {
    const std::vector<std::string> f = nmea_fields(body);
    const std::string& head = f[0];
    long command = 0;
    if (head.size() != 7 || head.compare(0, 4, "PMTK") != 0 || !nmea_integer(head.substr(4), command) || command < 0) {
        return false; // not a PMTK packet: the receiver stays silent
    }
    const int cmd = static_cast<int>(command);
    const size_t params = f.size() - 1;
    long v = 0;
    switch (cmd) {
    case 0: // test packet
        acknowledge(cmd, kFlagDone);
        return true;
    case 101: // hot restart: no acknowledgement, the start-up lines come again
        reply([this] { restart(true); });
        return true;
    case 102: // warm and cold restarts: the orbits are searched for again
    case 103:
        reply([this] { restart(false); });
        return true;
    case 104: // full cold restart: factory settings, the baud rate included
        reply([this] {
            config_ = factory();
            restart(false);
        });
        return true;
    case 251: { // baud rate; 0 = the default 9600
        if (params != 1 || !nmea_integer(f[1], v) || (v != 0 && !gps_baud_supported(static_cast<uint32_t>(v)))) {
            acknowledge(cmd, kFlagInvalid);
            return true;
        }
        const uint32_t baud = v == 0 ? 9600 : static_cast<uint32_t>(v);
        // Acknowledged at the old rate; the new one applies once the answer has left.
        reply([this, baud] {
            send_sentence("PMTK001,251," + std::to_string(kFlagDone));
            change_baud_after_output(baud);
        });
        return true;
    }
    case 313: // SBAS search and corrections
        if (params != 1 || !nmea_integer(f[1], v) || (v != 0 && v != 1)) {
            acknowledge(cmd, kFlagInvalid);
            return true;
        }
        config_.sbas = v == 1;
        acknowledge(cmd, kFlagDone);
        return true;
    case 314: { // sentence output rates; a single -1 restores the factory set
        if (params == 1 && nmea_integer(f[1], v) && v == -1) {
            config_.rates = factory().rates;
            acknowledge(cmd, kFlagDone);
            return true;
        }
        // Some manuals list a 20th reserved field; both lengths are taken.
        if (params != kRateFieldCount && params != kRateFieldCount + 1) {
            acknowledge(cmd, kFlagInvalid);
            return true;
        }
        std::vector<long> rate(params);
        for (size_t i = 0; i < params; ++i) {
            if (!nmea_integer(f[i + 1], rate[i]) || rate[i] < 0 || rate[i] > kMaxRate) {
                acknowledge(cmd, kFlagInvalid);
                return true;
            }
        }
        for (const RateField& r : kRateFields) config_.rates[static_cast<size_t>(r.sentence)] = static_cast<uint8_t>(rate[r.field]);
        acknowledge(cmd, kFlagDone);
        return true;
    }
    case 414: { // query of the output rates, answered with PMTK514 in PMTK314's layout
        std::vector<int> out(kRateFieldCount, 0);
        for (const RateField& r : kRateFields) out[r.field] = sentence_rate(r.sentence);
        std::string answer = "PMTK514";
        for (int x : out) answer += "," + std::to_string(x);
        reply([this, answer] { send_sentence(answer); });
        return true;
    }
    default:
        acknowledge(cmd, kFlagUnsupported);
        return false;
    }
}

} // namespace sim
