// The CFGMSG-family receivers ("SIM66M", "SIM66MD", "UC6226NIS"). Message numbers of
// class 0 (GGA 0, GLL 1, GSA 2, GSV 3, RMC 4, VTG 5, ZDA 6, GST 7), the "$OK" answer and
// the optional checksum on commands follow the chipset's published command set and its
// public users.
#include "world/gps_receiver.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

namespace {

constexpr long kNmeaClass = 0;
constexpr long kMaxRate = 10; // once every 10 fixes at most

GpsOutputConfig cfgmsg_factory() {
    GpsOutputConfig c;
    for (GpsSentence s : {GpsSentence::GGA, GpsSentence::GLL, GpsSentence::GSA, GpsSentence::GSV, GpsSentence::RMC,
                          GpsSentence::VTG}) {
        c.rates[static_cast<size_t>(s)] = 1;
    }
    return c;
}

const std::string& checked_model(const std::string& model) {
    if (model != "SIM66M" && model != "SIM66MD" && model != "UC6226NIS") {
        throw std::invalid_argument("GPS receiver: '" + model + "' is not a CFGMSG model, expected SIM66M, SIM66MD or UC6226NIS");
    }
    return model;
}

} // namespace

CfgmsgReceiver::CfgmsgReceiver(Scheduler& clock, UartLink& line, const std::string& model, const GpsReceiverOptions& options)
    : GpsReceiver(clock, line, checked_model(model), options, cfgmsg_factory(),
                  {GpsSentence::GGA, GpsSentence::GLL, GpsSentence::GSA, GpsSentence::GSV, GpsSentence::RMC,
                   GpsSentence::VTG, GpsSentence::ZDA, GpsSentence::GST}) {}

// A plain text line, not a sentence: the model name first, then the firmware version.
void CfgmsgReceiver::announce() { send_line(model() + "," + options().firmware_version); }

GpsOutputConfig CfgmsgReceiver::power_up_configuration() const { return saved_ ? *saved_ : factory(); }

void CfgmsgReceiver::answer_ok() {
    reply([this] { send_sentence("OK"); });
}

bool CfgmsgReceiver::on_command(const std::string& body) {
    const std::vector<std::string> f = nmea_fields(body);
    const std::string& head = f[0];
    const size_t params = f.size() - 1;
    if (head == "CFGMSG") {
        long cls = 0, id = 0, rate = 0;
        if (params != 3 || !nmea_integer(f[1], cls) || !nmea_integer(f[2], id) || !nmea_integer(f[3], rate) ||
            cls != kNmeaClass || id < 0 || id >= static_cast<long>(kGpsSentenceCount) || rate < 0 || rate > kMaxRate) {
            return false;
        }
        config_.rates[static_cast<size_t>(id)] = static_cast<uint8_t>(rate);
        answer_ok();
        return true;
    }
    if (head == "CFGSAVE") { // the mask parameter is not modelled: everything is saved
        if (params > 1) return false;
        saved_ = config_;
        answer_ok();
        return true;
    }
    if (head == "CFGPRT") { // port and protocol fields are not modelled; field 3 is the rate
        long baud = 0;
        if (params < 3 || !nmea_integer(f[3], baud) || !gps_baud_supported(static_cast<uint32_t>(baud))) return false;
        // Answered at the old rate; the new one applies once the answer has left.
        reply([this, baud] {
            send_sentence("OK");
            change_baud_after_output(static_cast<uint32_t>(baud));
        });
        return true;
    }
    return false;
}

} // namespace sim
