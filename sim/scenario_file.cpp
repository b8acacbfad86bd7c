#include "sim/scenario_file.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

#include <toml++/toml.h>

#include "world/kvx_sentence.h"

namespace sim {

namespace {

// Where a node is written: "FILE:LINE".
std::string where(const std::string& path, const toml::node& n) {
    return path + ":" + std::to_string(n.source().begin.line);
}

// A plain value as the command line would give it: numbers as written, strings as they are,
// arrays as comma-separated lists. False for anything else (a table, a date).
bool as_text(const toml::node& n, std::string& out) {
    if (auto v = n.as_string()) {
        out = v->get();
        return true;
    }
    if (auto v = n.as_integer()) {
        out = std::to_string(v->get());
        return true;
    }
    if (auto v = n.as_floating_point()) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", v->get());
        out = buf;
        return true;
    }
    if (auto a = n.as_array()) {
        out.clear();
        for (size_t i = 0; i < a->size(); ++i) {
            std::string item;
            if (!(*a)[i].as_integer() && !(*a)[i].as_floating_point()) return false;
            as_text((*a)[i], item);
            out += (i ? "," : "") + item;
        }
        return true;
    }
    return false;
}

// A world key and the option it stands for; `flag` keys take true or false and give the
// switch `option` for `flag_when`.
struct WorldKey {
    const char* key;
    const char* option;
    bool flag = false;
    bool flag_when = true;
};

const std::map<std::string, std::vector<WorldKey>> kWorld = {
    {"", {{"duration", "--duration"}, {"start", "--start"}, {"out", "--out"}, {"sea", "--sea"},
          {"host_script", "--host-script"}, {"firmware", "--firmware"}, {"realtime", "--realtime"}}},
    {"board", {{"oscillator_ppm", "--oscillator-ppm"}, {"heap_limit", "--heap-limit"}, {"dip1", "--dip1"}}},
    {"sensor", {{"rate", "--rate"}, {"motion", "--motion"}, {"motion_format", "--motion-format"}, {"dropped", ""}, {"bad_crc", ""}}},
    {"gps", {{"model", "--gps"}, {"baud", "--gps-baud"}, {"ttff", "--gps-ttff"},
             {"no_fix", "--gps-no-fix", true, true}, {"satellites", "--gps-satellites"}, {"dop", "--gps-dop"},
             {"position", "--gps-position"}, {"checksum_errors", "--gps-checksum-errors"}}},
    {"card", {{"present", "--no-card", true, false}, {"image", "--card"}, {"size", "--card-size"},
              {"type", "--card-type"}, {"erased_ones", "--card-erased-ones", true, true}}},
    {"eeprom", {{"present", "--no-eeprom", true, false}, {"image", "--eeprom"}}},
};

std::string key_list(const std::vector<WorldKey>& keys) {
    std::string out;
    for (const WorldKey& k : keys) out += (out.empty() ? "" : ", ") + std::string(k.key);
    return out;
}

struct EventName {
    const char* name;
    TimelineEvent::Kind kind;
    bool span;
};

const EventName kEvents[] = {
    {"reset", TimelineEvent::Kind::Reset, false},
    {"power-cut", TimelineEvent::Kind::PowerCut, false},
    {"console", TimelineEvent::Kind::Console, false},
    {"telecommand", TimelineEvent::Kind::Telecommand, false},
    {"sensor-silent", TimelineEvent::Kind::SensorSilent, true},
    {"sensor-garbage", TimelineEvent::Kind::SensorGarbage, false},
    {"sensor-faults", TimelineEvent::Kind::SensorFaults, true},
    {"gps-no-fix", TimelineEvent::Kind::GpsNoFix, true},
    {"card-out", TimelineEvent::Kind::CardOut, true},
    {"card-write-errors", TimelineEvent::Kind::CardWriteErrors, true},
    {"card-full", TimelineEvent::Kind::CardFull, false},
    {"eeprom-absent", TimelineEvent::Kind::EepromAbsent, true},
    {"eeprom-write-errors", TimelineEvent::Kind::EepromWriteErrors, true},
};

class Reader {
public:
    Reader(const std::string& path, Scenario& s, std::string& error) : path_(path), s_(s), error_(error) {}

    bool fail(const toml::node& n, const std::string& key, const std::string& what) {
        error_ = where(path_, n) + ": " + key + ": " + what;
        return false;
    }

    bool probability(const toml::node& n, const std::string& key, double& out) {
        std::optional<double> v = n.value<double>();
        if (!v || !(*v >= 0 && *v <= 1)) return fail(n, key, "expected a probability from 0 to 1");
        out = *v;
        return true;
    }

    bool world_key(const std::string& table, const std::string& key, const toml::node& n) {
        const std::vector<WorldKey>& keys = kWorld.at(table);
        const std::string name = table.empty() ? key : table + "." + key;
        for (const WorldKey& k : keys) {
            if (key != k.key) continue;
            if (table == "sensor" && key == "dropped") return probability(n, name, s_.sensor_drop);
            if (table == "sensor" && key == "bad_crc") return probability(n, name, s_.sensor_crc_errors);
            std::string value;
            if (k.flag) {
                auto b = n.as_boolean();
                if (!b) return fail(n, name, "expected true or false");
                if (b->get() != k.flag_when) return true;
            } else if (!as_text(n, value)) {
                return fail(n, name, "expected a number, a string or a list of numbers");
            }
            std::string why;
            if (!apply_option(k.option, value, s_, why)) return fail(n, name, why);
            return true;
        }
        return fail(n, name, "unknown key" + std::string(table.empty() ? "" : " in [" + table + "]") +
                                 " (expected " + key_list(keys) + (table.empty() ? ", or a table: board, sea, sensor, gps, card, eeprom, event" : "") + ")");
    }

    // [sea] kind = "swell", h = 1.5, ... : the --sea text, checked as --sea checks it.
    bool sea_table(const toml::node& n, const std::string& name) {
        const toml::table& t = *n.as_table();
        std::string text;
        if (auto kind = t.get("kind")) {
            auto k = kind->as_string();
            if (!k) return fail(*kind, name + ".kind", "expected irregular, swell, chop, calm or off");
            if (k->get() != "irregular") text = k->get();
        }
        for (const auto& [key, value] : t) {
            std::string k(key.str());
            if (k == "kind") continue;
            std::string v;
            if (!value.is_number()) return fail(value, name + "." + k, "expected a number");
            as_text(value, v);
            for (char& c : k) if (c == '_') c = '-'; // current_dir is --sea's current-dir
            text += (text.empty() ? "" : ",") + k + "=" + v;
        }
        std::string why;
        if (!parse_sea(text.empty() ? "hs=2" : text, s_, why)) return fail(n, name, why);
        return true;
    }

    bool event(const toml::node& n, size_t index) {
        const std::string name = "event[" + std::to_string(index + 1) + "]";
        const toml::table* t = n.as_table();
        if (!t) return fail(n, name, "expected a table ([[event]])");
        TimelineEvent e;
        e.where = where(path_, n) + ": " + name;
        std::string names;
        for (const EventName& k : kEvents) names += (names.empty() ? "" : ", ") + std::string(k.name);
        const toml::node* what = t->get("what");
        if (!what || !what->is_string()) return fail(what ? *what : n, name + ".what", "expected one of " + names);
        const EventName* known = nullptr;
        for (const EventName& k : kEvents)
            if (what->as_string()->get() == k.name) known = &k;
        if (!known) return fail(*what, name + ".what", "'" + what->as_string()->get() + "': expected one of " + names);
        e.kind = known->kind;
        const toml::node* at = t->get("at");
        if (!at || !at->is_number() || !(at->value<double>().value() >= 0))
            return fail(at ? *at : n, name + ".at", "expected simulated seconds, 0 or more");
        e.at = at->value<double>().value();
        for (const auto& [key, value] : *t) {
            const std::string k(key.str()), full = name + "." + k;
            if (k == "what" || k == "at") continue;
            if (k == "until" && known->span) {
                if (!value.is_number() || !(value.value<double>().value() > e.at))
                    return fail(value, full, "expected simulated seconds after at");
                e.until = value.value<double>().value();
            } else if (k == "text" && e.kind == TimelineEvent::Kind::Console) {
                if (!value.is_string()) return fail(value, full, "expected the line typed, as a string");
                e.text = value.as_string()->get();
            } else if (k == "fields" && e.kind == TimelineEvent::Kind::Telecommand) {
                if (!value.is_string()) return fail(value, full, "expected the telecommand's fields, as \"1,8\"");
                e.text = value.as_string()->get();
                const std::string problem = kvx_fields_problem(e.text);
                if (!problem.empty()) return fail(value, full, problem);
            } else if (k == "bytes" && e.kind == TimelineEvent::Kind::SensorGarbage) {
                std::optional<int64_t> b = value.value<int64_t>();
                if (!value.is_integer() || !b || *b < 1 || *b > 1000000)
                    return fail(value, full, "expected a whole number of bytes from 1 to 1000000");
                e.count = static_cast<size_t>(*b);
            } else if (k == "free" && e.kind == TimelineEvent::Kind::CardFull) {
                std::optional<int64_t> b = value.value<int64_t>();
                if (!value.is_integer() || !b || *b < 0)
                    return fail(value, full, "expected the bytes left free, a whole number from 0");
                e.count = static_cast<size_t>(*b);
            } else if ((k == "dropped" || k == "bad_crc") && e.kind == TimelineEvent::Kind::SensorFaults) {
                if (!probability(value, full, k == "dropped" ? e.drop : e.crc)) return false;
            } else {
                return fail(value, full, "not a key of a " + std::string(known->name) + " event");
            }
        }
        if (e.kind == TimelineEvent::Kind::Telecommand && e.text.empty())
            return fail(n, name + ".fields", "a telecommand needs its fields, as fields = \"1,8\"");
        if (e.kind == TimelineEvent::Kind::SensorGarbage && e.count == 0)
            return fail(n, name + ".bytes", "expected how many bytes of noise, as bytes = 200");
        s_.events.push_back(std::move(e));
        return true;
    }

    bool read(const toml::table& root) {
        for (const auto& [key, value] : root) {
            const std::string k(key.str());
            if (k == "event") {
                const toml::array* list = value.as_array();
                if (!list) return fail(value, k, "expected [[event]] tables");
                for (size_t i = 0; i < list->size(); ++i)
                    if (!event((*list)[i], i)) return false;
            } else if (value.is_table() && k != "sea") {
                if (!kWorld.count(k) || k.empty())
                    return fail(value, k, "unknown table (expected board, sea, sensor, gps, card, eeprom, event)");
                for (const auto& [sub, v] : *value.as_table())
                    if (!world_key(k, std::string(sub.str()), v)) return false;
            } else if (k == "sea" && value.is_table()) {
                if (!sea_table(value, k)) return false;
            } else if (!world_key("", k, value)) {
                return false;
            }
        }
        return true;
    }

private:
    const std::string& path_;
    Scenario& s_;
    std::string& error_;
};

} // namespace

bool load_scenario_file(const std::string& path, Scenario& s, std::string& error) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        if (e.source().begin.line == 0)
            error = "--scenario " + path + ": " + std::string(e.description());
        else
            error = path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
        return false;
    }
    Reader reader(path, s, error);
    return reader.read(root);
}

} // namespace sim
