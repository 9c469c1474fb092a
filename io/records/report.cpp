// report.cpp - the text and JSON forms of the tool's records.
#include "records/report.h"

#include "diagnostics.h"

#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <stdexcept>
#include <string_view>

namespace rsid_tool {

namespace {

using ordered_json = nlohmann::ordered_json;

// Rounds to 1/scale, dividing last so that 2.095 prints as 2.095, not 2.0950000000000002.
double round_to(double x, double scale) { return std::round(x * scale) / scale; }

// Names that are not valid UTF-8 keep their valid parts, the rest becomes U+FFFD; the exact
// bytes then follow in a field of their own (see put_text).
std::string dump(const ordered_json& j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A name or label as text, and when it is not valid UTF-8 also as `<key>_bytes`: its bytes in
// lower-case hex, so that a report can be mapped back to its file whatever the name holds.
void put_text(ordered_json& j, const char* key, const std::string& text) {
    j[key] = text;
    try {
        (void)ordered_json(text).dump(); // throws on bytes that are not UTF-8
    } catch (const nlohmann::json::type_error&) {
        static constexpr char hex[] = "0123456789abcdef";
        std::string bytes;
        for (const char c : text) {
            const auto u = static_cast<unsigned char>(c);
            bytes += hex[u >> 4];
            bytes += hex[u & 15];
        }
        j[std::string(key) + "_bytes"] = bytes;
    }
}

// put_text backwards: the exact bytes when `<key>_bytes` is there, else the text.
std::string get_text(const nlohmann::json& j, const char* key) {
    const auto bytes = j.find(std::string(key) + "_bytes");
    if (bytes == j.end())
        return j.at(key).get<std::string>();
    const std::string hex = bytes->get<std::string>();
    std::string text;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return text;
}

// utc_time backwards: exactly "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::chrono::system_clock::time_point read_utc(const std::string& text) {
    static constexpr std::string_view shape = "0000-00-00T00:00:00.000Z";
    bool fits = text.size() == shape.size();
    for (std::size_t i = 0; fits && i < shape.size(); ++i)
        fits = shape[i] == '0' ? text[i] >= '0' && text[i] <= '9' : text[i] == shape[i];
    if (!fits)
        throw std::invalid_argument("utc is not an ISO 8601 time: " + text);
    const auto field = [&](std::size_t at, std::size_t digits) {
        int v = 0;
        for (std::size_t i = at; i < at + digits; ++i)
            v = v * 10 + (text[i] - '0');
        return v;
    };
    std::tm tm{};
    tm.tm_year = field(0, 4) - 1900;
    tm.tm_mon = field(5, 2) - 1;
    tm.tm_mday = field(8, 2);
    tm.tm_hour = field(11, 2);
    tm.tm_min = field(14, 2);
    tm.tm_sec = field(17, 2);
    return std::chrono::system_clock::from_time_t(timegm(&tm)) +
           std::chrono::milliseconds(field(20, 3));
}

} // namespace

json_record read_json_line(const std::string& line) {
    json_record out;
    try {
        const nlohmann::json j = nlohmann::json::parse(line);
        if (j.at("version").get<int>() != json_version)
            throw std::invalid_argument("record of version " + j.at("version").dump() +
                                        ", this is version " + std::to_string(json_version));
        const std::string type = j.at("type").get<std::string>();
        if (type == "detection") {
            detection_record r;
            r.input = get_text(j, "input");
            r.sample = j.at("sample").get<int64_t>();
            r.rate = j.at("rate").get<double>();
            r.time_s = j.at("time_s").get<double>();
            r.code = j.at("code").get<int>();
            r.freq_hz = j.at("freq_hz").get<double>();
            if (j.contains("offset_hz"))
                r.offset_hz = j.at("offset_hz").get<double>();
            if (j.contains("snr_db"))
                r.snr_db = j.at("snr_db").get<double>();
            if (j.contains("level_dbfs"))
                r.level_dbfs = j.at("level_dbfs").get<double>();
            r.channel = j.at("channel").get<int>();
            if (j.contains("utc"))
                r.utc = read_utc(j.at("utc").get<std::string>());
            if (j.contains("clock"))
                r.clock = get_text(j, "clock");
            if (j.contains("label"))
                r.label = get_text(j, "label");
            out.detection = std::move(r);
        } else if (type == "end") {
            end_record r;
            r.input = get_text(j, "input");
            r.status = j.at("status").get<std::string>();
            r.detections = j.at("detections").get<int>();
            r.duration_s = j.at("duration_s").get<double>();
            if (j.contains("error"))
                r.error = j.at("error").get<std::string>();
            out.end = std::move(r);
        } else if (type != "heartbeat") {
            throw std::invalid_argument("unknown record type \"" + type + "\"");
        }
    } catch (const nlohmann::json::exception& e) {
        throw std::invalid_argument(std::string("not a record: ") + e.what());
    }
    return out;
}

std::vector<std::string> input_names(const std::vector<std::string>& inputs) {
    std::vector<std::string> names(inputs.size());
    std::transform(inputs.begin(), inputs.end(), names.begin(),
                   [](const std::string& input) { return input == "-" ? "stdin" : input; });
    return names;
}

std::string clock_time(double s) {
    const auto centis = static_cast<long long>(std::llround(s * 100.0));
    return fmt::format("{:02}:{:02}:{:02}.{:02}", centis / 360000, centis / 6000 % 60,
                       centis / 100 % 60, centis % 100);
}

std::string utc_time(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    const auto secs = static_cast<std::time_t>(ms.count() / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900,
                       tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                       ms.count() % 1000);
}

std::string text_line(const detection_record& r) {
    // Control characters escaped: a name or label cannot break the line or reach the terminal.
    std::string line = fmt::format("{}: {}", printable(r.input), clock_time(r.time_s));
    if (r.utc)
        line += "  " + utc_time(*r.utc);
    line += fmt::format("  code {}  {:.1f} Hz", r.code, r.freq_hz);
    if (r.offset_hz)
        line += fmt::format(" ({:+.1f} Hz)", *r.offset_hz);
    if (r.snr_db)
        line += fmt::format("  SNR {:.1f} dB", *r.snr_db);
    if (r.level_dbfs)
        line += fmt::format("  {:.1f} dBFS", *r.level_dbfs);
    if (r.channel > 0)
        line += fmt::format("  ch {}", r.channel);
    if (!r.label.empty())
        line += "  " + printable(r.label);
    return line;
}

std::string json_line(const detection_record& r) {
    ordered_json j;
    j["version"] = json_version;
    j["type"] = "detection";
    put_text(j, "input", r.input);
    j["time_s"] = round_to(r.time_s, 1e3);
    j["time"] = clock_time(r.time_s);
    j["sample"] = r.sample;
    if (r.rate == std::floor(r.rate))
        j["rate"] = static_cast<int64_t>(r.rate);
    else
        j["rate"] = r.rate;
    j["code"] = r.code;
    j["freq_hz"] = round_to(r.freq_hz, 1e4);
    if (r.offset_hz)
        j["offset_hz"] = round_to(*r.offset_hz, 1e4);
    if (r.snr_db)
        j["snr_db"] = round_to(*r.snr_db, 10.0);
    if (r.level_dbfs)
        j["level_dbfs"] = round_to(*r.level_dbfs, 10.0);
    j["channel"] = r.channel;
    if (r.utc) {
        j["utc"] = utc_time(*r.utc);
        if (!r.clock.empty())
            j["clock"] = r.clock;
    }
    if (!r.label.empty())
        put_text(j, "label", r.label);
    return dump(j);
}

std::string json_line(const end_record& r) {
    ordered_json j;
    j["version"] = json_version;
    j["type"] = "end";
    put_text(j, "input", r.input);
    j["status"] = r.status;
    j["detections"] = r.detections;
    j["duration_s"] = round_to(r.duration_s, 1e3);
    if (!r.error.empty())
        j["error"] = r.error;
    return dump(j);
}

std::string json_line(const heartbeat_record& r) {
    ordered_json j;
    j["version"] = json_version;
    j["type"] = "heartbeat";
    j["utc"] = utc_time(r.utc);
    j["inputs"] = r.inputs;
    j["uptime_s"] = round_to(r.uptime_s, 1e3);
    j["detections"] = r.detections;
    j["audio_s"] = round_to(r.audio_s, 1e3);
    j["realtime_factor"] = round_to(r.realtime_factor, 1e3);
    j["queued"] = r.queued;
    j["dropped"] = r.dropped;
    return dump(j);
}

} // namespace rsid_tool
