// rsid scan as a user runs it, on a small corpus made here: the same identifiers in every input
// type (raw cu8, cs8, cs16, cf32, SigMF, stdin through a pipe, a stereo file with --iq) and in
// real wide audio; parallel jobs; exit statuses; the plot read back with cairo; annotations read
// back with a JSON parser. Plus the waterfall in-process, where each mark's place is known.
#include "json_schema.h"
#include "pictures/waterfall.h"
#include "scanner.h" // engine/
#include "synth.h"

#include <cairo.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using iq = std::vector<std::complex<double>>;

struct placed {
    double start_s, offset_hz;
};

// The corpus: 96000/s I/Q, three identifiers on both sides of the centre and near an edge.
constexpr double iq_rate = 96000.0;
constexpr double iq_seconds = 3.4;
constexpr double amplitude = 0.1;
const std::vector<placed> iq_ids = {{0.4, -30000.0}, {1.1, 1234.0}, {1.8, 44000.0}};

iq make_band(unsigned seed) {
    iq x(static_cast<std::size_t>(iq_rate * iq_seconds));
    for (const placed& p : iq_ids)
        synth::add_identifier_iq(x, iq_rate, p.start_s, p.offset_hz, amplitude);
    synth::add_noise_iq(x, iq_rate, amplitude, 10.0, seed);
    return x;
}

// Interleaved I, Q in a raw type, normalised as the tool reads it back.
std::string encode(const iq& x, const std::string& type) {
    std::string out;
    auto put = [&](const void* p, std::size_t n) { out.append(static_cast<const char*>(p), n); };
    for (const auto& v : x) {
        for (double c : {v.real(), v.imag()}) {
            if (type == "cu8") {
                const auto b =
                    static_cast<uint8_t>(std::clamp(std::lround(c * 128 + 127.5), 0L, 255L));
                put(&b, 1);
            } else if (type == "cs8") {
                const auto b = static_cast<int8_t>(std::clamp(std::lround(c * 128), -128L, 127L));
                put(&b, 1);
            } else if (type == "cs16") {
                const auto s =
                    static_cast<int16_t>(std::clamp(std::lround(c * 32768), -32768L, 32767L));
                const unsigned char le[2] = {static_cast<unsigned char>(s & 0xFF),
                                             static_cast<unsigned char>((s >> 8) & 0xFF)};
                put(le, 2);
            } else {
                const auto f = static_cast<float>(c); // little-endian host
                put(&f, 4);
            }
        }
    }
    return out;
}

void write_file(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_float_wav(const fs::path& p, int rate, int channels, const std::vector<double>& frames) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(p.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    const auto n = static_cast<sf_count_t>(frames.size() / static_cast<std::size_t>(channels));
    EXPECT_EQ(sf_writef_double(f, frames.data(), n), n);
    sf_close(f);
}

struct result {
    int status = -1;
    std::string out, err;
    std::vector<json> detections() const {
        std::vector<json> d;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            const json j = json::parse(line);
            if (j.at("type") == "detection")
                d.push_back(j);
        }
        return d;
    }
};

class scan_cli : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "rsid-scan-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    result sh(const std::string& command) const {
        const std::string full = "cd '" + dir_.string() + "' && RSID='" RSID_TOOL "' && (" +
                                 command + ") >.out 2>.err </dev/null";
        const int w = std::system(full.c_str());
        result r;
        r.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
        r.out = slurp(dir_ / ".out");
        r.err = slurp(dir_ / ".err");
        if (command.find("--json") != std::string::npos) {
            static const json schema = json::parse(slurp(RSID_SCHEMA));
            std::istringstream lines(r.out);
            for (std::string line; std::getline(lines, line);)
                EXPECT_EQ(schema_check::validate(json::parse(line), schema, schema), "")
                    << command << "\n"
                    << line;
        }
        return r;
    }
    fs::path path(const std::string& name) const { return dir_ / name; }
    fs::path dir_;
};

// Each placed identifier reported once within 3 Hz and 50 ms, and nothing else.
void expect_found(const std::vector<placed>& want, const std::vector<json>& got, double center,
                  const std::string& what) {
    EXPECT_EQ(got.size(), want.size()) << what;
    for (const placed& p : want) {
        int hits = 0;
        for (const json& d : got) {
            const double offset = d.at("offset_hz").get<double>();
            if (std::abs(offset - p.offset_hz) > 20.0)
                continue;
            ++hits;
            EXPECT_NEAR(offset, p.offset_hz, 3.0) << what;
            EXPECT_NEAR(d.at("freq_hz").get<double>(), center + p.offset_hz, 3.0) << what;
            EXPECT_NEAR(d.at("time_s").get<double>(), p.start_s, 0.05) << what;
            EXPECT_EQ(d.at("code"), 131) << what;
        }
        EXPECT_EQ(hits, 1) << what << ": identifier at " << p.offset_hz << " Hz";
    }
}

TEST_F(scan_cli, finds_the_identifiers_in_every_input_type) {
    const iq band = make_band(3);
    for (const char* type : {"cu8", "cs8", "cs16", "cf32"})
        write_file(path(std::string("band.") + type), encode(band, type));
    // A SigMF pair, its metadata naming the rate, type and frequency.
    write_file(path("rec.sigmf-data"), encode(band, "cs16"));
    write_file(
        path("rec.sigmf-meta"),
        json{{"global",
              {{"core:datatype", "ci16_le"},
               {"core:sample_rate", iq_rate},
               {"core:version", "1.0.0"}}},
             {"captures", json::array({{{"core:sample_start", 0}, {"core:frequency", 14.07e6}}})},
             {"annotations", json::array()}}
            .dump());
    // I and Q as the two channels of a float WAV.
    std::vector<double> stereo;
    for (const auto& v : band)
        stereo.insert(stereo.end(), {v.real(), v.imag()});
    write_float_wav(path("band.wav"), static_cast<int>(iq_rate), 2, stereo);
    // Real wide audio: identifiers where the narrowband detector cannot look.
    std::vector<double> audio(static_cast<std::size_t>(48000 * 2.6));
    synth::add_identifier(audio, 48000.0, 0.3, 2700.0, 0.1);
    synth::add_identifier(audio, 48000.0, 0.7, 15000.0, 0.1);
    synth::add_noise(audio, 48000.0, 0.1, 10.0, 9);
    write_float_wav(path("wide.wav"), 48000, 1, audio);

    const struct {
        const char* command;
        double center;
        const std::vector<placed>* ids;
    } cases[] = {
        {"$RSID scan --json -t cu8 -r 96000 --center 7.1e6 band.cu8", 7.1e6, &iq_ids},
        {"$RSID scan --json -t cs8 -r 96000 band.cs8", 0.0, &iq_ids},
        {"$RSID scan --json -t cs16 -r 96000 --center 1e5 band.cs16", 1e5, &iq_ids},
        {"$RSID scan --json -t cf32 -r 96000 --center 7.1e6 band.cf32", 7.1e6, &iq_ids},
        {"$RSID scan --json rec.sigmf-meta", 14.07e6, &iq_ids},
        {"$RSID scan --json --center 5 rec.sigmf-data", 5.0, &iq_ids},          // --center wins
        {"$RSID scan --json -r 96000 --center 7.1e6 band.cu8", 7.1e6, &iq_ids}, // type: name
        {"cat band.cf32 | $RSID scan --json -t cf32 -r 96000 --center 7.1e6 -", 7.1e6, &iq_ids},
        {"$RSID scan --json --iq --center 7.1e6 band.wav", 7.1e6, &iq_ids},
    };
    for (const auto& c : cases) {
        const result r = sh(c.command);
        EXPECT_EQ(r.status, 0) << c.command << "\n" << r.err;
        expect_found(*c.ids, r.detections(), c.center, c.command);
    }
    // Overriding the recording's own frequency is said on stderr, naming both.
    const result over = sh("$RSID scan --center 5 rec.sigmf-meta");
    EXPECT_NE(over.err.find("--center 5 Hz replaces the recording's core:frequency 14070000 Hz"),
              std::string::npos)
        << over.err;
    EXPECT_EQ(sh("$RSID scan -q --center 5 rec.sigmf-meta").err, "");
    const std::vector<placed> wide = {{0.3, 2700.0}, {0.7, 15000.0}};
    const result r = sh("$RSID scan --json wide.wav");
    EXPECT_EQ(r.status, 0) << r.err;
    expect_found(wide, r.detections(), 0.0, "real wide audio");
    // The stdin record names stdin; text output carries the offset.
    EXPECT_EQ(
        sh("cat band.cs8 | $RSID scan --json -t cs8 -r 96000 -").detections().at(0).at("input"),
        "stdin");
    const result text = sh("$RSID scan -t cs8 -r 96000 --center 7e6 band.cs8");
    EXPECT_NE(text.out.find("band.cs8: 00:00:01.10  code 131  7001234."), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("(+1234."), std::string::npos) << text.out;
}

// A SigMF recording dates its reports by its first capture's core:datetime; --start overrides
// it and dates any input; an undated one gets no utc, and a malformed datetime is an error.
TEST_F(scan_cli, dates_reports_from_the_recording_or_start) {
    const iq band = make_band(5);
    write_file(path("band.cs16"), encode(band, "cs16"));
    write_file(path("rec.sigmf-data"), encode(band, "cs16"));
    const auto meta = [&](const std::string& name, const json& capture) {
        write_file(path(name + ".sigmf-meta"), json{{"global",
                                                     {{"core:datatype", "ci16_le"},
                                                      {"core:sample_rate", iq_rate},
                                                      {"core:dataset", "rec.sigmf-data"}}},
                                                    {"captures", json::array({capture})}}
                                                   .dump());
    };
    meta("rec", {{"core:sample_start", 0}, {"core:datetime", "2024-05-01T12:00:00Z"}});
    meta("later", {{"core:sample_start", 96000}, {"core:datetime", "2024-05-01T12:00:00Z"}});
    meta("bad", {{"core:sample_start", 0}, {"core:datetime", "noon"}});
    const struct {
        const char* command;
        int status;
        const char* clock;  // "": no utc
        const char* minute; // the utc up to its seconds
    } cases[] = {
        {"$RSID scan --json rec.sigmf-meta", 0, "sigmf", "2024-05-01T12:00:"},
        {"$RSID scan --json --start 2024-05-01T15:00:00+02:00 rec.sigmf-meta", 0, "start-option",
         "2024-05-01T13:00:"},
        {"$RSID scan --json --start 2024-05-01T13:00:00Z -t cs16 -r 96000 band.cs16", 0,
         "start-option", "2024-05-01T13:00:"},
        {"$RSID scan --json -t cs16 -r 96000 band.cs16", 0, "", ""},
        {"$RSID scan --json later.sigmf-meta", 0, "", ""}, // the capture does not date sample 0
        {"$RSID scan --json bad.sigmf-meta", 3, "", ""},
    };
    for (const auto& c : cases) {
        const result r = sh(c.command);
        EXPECT_EQ(r.status, c.status) << c.command << "\n" << r.err;
        if (c.status != 0) {
            EXPECT_NE(r.err.find("core:datetime"), std::string::npos) << r.err;
            continue;
        }
        const std::vector<json> d = r.detections();
        ASSERT_EQ(d.size(), iq_ids.size()) << c.command;
        for (const json& j : d) {
            if (std::string(c.clock).empty()) {
                EXPECT_FALSE(j.contains("utc") || j.contains("clock")) << c.command;
                continue;
            }
            EXPECT_EQ(j.value("clock", ""), c.clock) << c.command;
            const std::string utc = j.value("utc", "");
            ASSERT_EQ(utc.substr(0, 17), c.minute) << c.command;
            EXPECT_NEAR(std::stod(utc.substr(17, 6)), j.at("time_s").get<double>(), 0.0015)
                << c.command << ": " << utc;
        }
    }
}

// Several jobs print exactly what one job prints; every exit status.
TEST_F(scan_cli, jobs_and_exit_statuses) {
    std::string inputs;
    for (unsigned i = 0; i < 4; ++i) {
        iq x(static_cast<std::size_t>(48000 * 2.2));
        synth::add_identifier_iq(x, 48000.0, 0.2 + 0.1 * i, -20000.0 + 9000.0 * i, amplitude);
        synth::add_noise_iq(x, 48000.0, amplitude, 10.0, 20 + i);
        const std::string name = "j" + std::to_string(i) + ".cs8";
        write_file(path(name), encode(x, "cs8"));
        inputs += " " + name + (i == 1 ? " missing.cs8" : "");
    }
    const result one = sh("$RSID scan --json -j 1 -t cs8 -r 48000" + inputs);
    const result many = sh("$RSID scan --json -j 3 -t cs8 -r 48000" + inputs);
    EXPECT_EQ(one.status, 3);
    EXPECT_EQ(many.out, one.out);
    EXPECT_EQ(many.err, one.err);
    EXPECT_EQ(one.detections().size(), 4u) << one.out;

    write_file(path("noise.cs8"), encode(iq(48000), "cs8"));
    write_file(path("odd.sigmf-meta"),
               R"({"global": {"core:datatype": "ri16_le", "core:sample_rate": 48000}})");
    const struct {
        const char* command;
        int status;
        const char* message;
    } cases[] = {
        {"$RSID scan -t cs8 -r 48000 j0.cs8", 0, ""},
        {"$RSID scan -t cs8 -r 48000 noise.cs8", 1, ""},
        {"$RSID scan -t cs8 -r 48000 missing.cs8", 3, "missing.cs8"},
        {"$RSID scan odd.sigmf-meta", 3, "ri16_le"},
        {"$RSID scan nothing.sigmf-data", 3, "nothing.sigmf-meta"},
        {"$RSID scan --iq noise.cs8", 3, "noise.cs8"},
        {"$RSID scan -t cs8 j0.cs8", 2, "-r RATE"},
        // The type from the name, unless -t says otherwise; each error names its option.
        {"$RSID scan -r 48000 j0.cs8", 0, ""},
        {"$RSID scan -r 48000 J0.CS8", 3, "J0.CS8: No such file"}, // read as raw I/Q
        {"$RSID scan j0.cs8", 3, "-r RATE"},
        {"cp j0.cs8 j0.bin && $RSID scan j0.bin", 3, "-t cu8|cs8|cs16|cf32"},
        {"$RSID scan -t cs8 -r 48000 j0.bin", 0, ""},
        {"$RSID scan -r 48000 j0.bin", 3, "-t cu8|cs8|cs16|cf32"},
        {"$RSID scan -t cu8 -r 48000 noise.cs8", 1, ""}, // -t wins over the name
        {"$RSID scan -t raw -r 48000 j0.cs8", 2, "cu8, cs8, cs16 or cf32"},
        {"$RSID scan -t cs12 -r 48000 j0.cs8", 2, "cu8"},
        {"$RSID scan -t cs8 -r 100 j0.cs8", 2, "6000"},
        {"$RSID scan", 2, "no input"},
    };
    for (const auto& c : cases) {
        const result r = sh(c.command);
        EXPECT_EQ(r.status, c.status) << c.command << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.command << "\n" << r.err;
    }
}

// Annotations go into the recording's metadata, keeping what was there and replacing only
// this tool's earlier annotations; a raw file gets new metadata beside it.
TEST_F(scan_cli, writes_sigmf_annotations) {
    const iq band = make_band(4);
    write_file(path("rec.sigmf-data"), encode(band, "cf32"));
    const json before = {
        {"global",
         {{"core:datatype", "cf32_le"},
          {"core:sample_rate", iq_rate},
          {"core:version", "1.0.0"},
          {"core:author", "someone"}}},
        {"captures", json::array({{{"core:sample_start", 0}, {"core:frequency", 7.1e6}}})},
        {"annotations", json::array({{{"core:sample_start", 100000},
                                      {"core:sample_count", 10},
                                      {"core:label", "kept"}}})}};
    write_file(path("rec.sigmf-meta"), before.dump());
    for (int run = 0; run < 2; ++run) { // twice: no duplicates
        EXPECT_EQ(sh("$RSID scan --sigmf-annotations rec.sigmf-meta").status, 0);
        const json after = json::parse(slurp(path("rec.sigmf-meta")));
        EXPECT_EQ(after.at("global").at("core:author"), "someone");
        EXPECT_EQ(after.at("captures"), before.at("captures"));
        const json& a = after.at("annotations");
        ASSERT_EQ(a.size(), iq_ids.size() + 1) << a.dump(1);
        int kept = 0;
        double last_start = -1.0;
        for (const json& x : a) {
            EXPECT_GE(x.at("core:sample_start").get<double>(), last_start) << "sorted";
            last_start = x.at("core:sample_start").get<double>();
            if (x.at("core:label") == "kept") {
                ++kept;
                continue;
            }
            EXPECT_EQ(x.at("core:generator"), "rsid scan");
            EXPECT_EQ(x.at("core:label"), "code 131");
            EXPECT_NEAR(x.at("core:sample_count").get<double>(), synth::length_s * iq_rate, 1.0);
            const double lo = x.at("core:freq_lower_edge").get<double>();
            EXPECT_NEAR(x.at("core:freq_upper_edge").get<double>() - lo, 15 * 10.7666, 0.01);
            int near = 0;
            for (const placed& p : iq_ids)
                if (std::abs(lo - 7.1e6 - p.offset_hz) < 3.0 &&
                    std::abs(x.at("core:sample_start").get<double>() / iq_rate - p.start_s) < 0.05)
                    ++near;
            EXPECT_EQ(near, 1) << x.dump();
        }
        EXPECT_EQ(kept, 1);
    }
    write_file(path("raw.cu8"), encode(band, "cu8"));
    EXPECT_EQ(sh("$RSID scan -t cu8 -r 96000 --center 7.1e6 --sigmf-annotations raw.cu8").status,
              0);
    const json fresh = json::parse(slurp(path("raw.sigmf-meta")));
    EXPECT_EQ(fresh.at("global").at("core:dataset"), "raw.cu8");
    EXPECT_EQ(fresh.at("global").at("core:datatype"), "cu8");
    EXPECT_EQ(fresh.at("global").at("core:sample_rate"), iq_rate);
    EXPECT_EQ(fresh.at("captures").at(0).at("core:frequency"), 7.1e6);
    EXPECT_EQ(fresh.at("annotations").size(), iq_ids.size());
    // The new metadata describes the raw file well enough to scan it as SigMF.
    expect_found(iq_ids, sh("$RSID scan --json raw.sigmf-meta").detections(), 7.1e6,
                 "raw as SigMF");
}

// --- pictures ------------------------------------------------------------------------------

struct picture {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;
    bool is_mark(int x, int y) const {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return false;
        const uint32_t p = pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                  static_cast<std::size_t>(x)];
        return ((p >> 16) & 0xFF) == rsid_tool::mark_rgb[0] &&
               ((p >> 8) & 0xFF) == rsid_tool::mark_rgb[1] && (p & 0xFF) == rsid_tool::mark_rgb[2];
    }
    // A mark's pixel within 2 px of (x, y).
    bool mark_near(double x, double y) const {
        for (int dy = -2; dy <= 2; ++dy)
            for (int dx = -2; dx <= 2; ++dx)
                if (is_mark(static_cast<int>(std::lround(x)) + dx,
                            static_cast<int>(std::lround(y)) + dy))
                    return true;
        return false;
    }
};

picture read_png(const fs::path& p) {
    picture pic;
    cairo_surface_t* s = cairo_image_surface_create_from_png(p.c_str());
    EXPECT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS) << p;
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
        pic.width = cairo_image_surface_get_width(s);
        pic.height = cairo_image_surface_get_height(s);
        const int stride = cairo_image_surface_get_stride(s);
        const unsigned char* data = cairo_image_surface_get_data(s);
        for (int y = 0; y < pic.height; ++y) {
            const auto* row = data + static_cast<std::ptrdiff_t>(y) * stride;
            for (int x = 0; x < pic.width; ++x) {
                uint32_t v;
                std::memcpy(&v, row + 4 * x, 4);
                pic.pixels.push_back(v);
            }
        }
    }
    cairo_surface_destroy(s);
    return pic;
}

// The scanner's passes through the waterfall, the reports marked: each box's four sides are
// where the layout puts the report's time and band, and nothing else is drawn in that colour.
TEST(Waterfall, MarksEachReportWhereItIs) {
    const struct {
        double rate, center, seconds;
        std::vector<placed> ids;
    } cases[] = {
        {96000.0, 7.1e6, 3.4, iq_ids},
        {24000.0, 0.0, 9.0, {{0.5, -9000.0}, {4.0, 0.0}, {7.2, 8000.0}}},
    };
    const fs::path png = fs::temp_directory_path() / "rsid-waterfall-test.png";
    for (const auto& c : cases) {
        iq x(static_cast<std::size_t>(c.rate * c.seconds));
        for (const placed& p : c.ids)
            synth::add_identifier_iq(x, c.rate, p.start_s, p.offset_hz, amplitude);
        synth::add_noise_iq(x, c.rate, amplitude, 10.0, 7);
        std::vector<float> f;
        for (const auto& v : x)
            f.insert(f.end(), {static_cast<float>(v.real()), static_cast<float>(v.imag())});
        rsid::band_scanner s({c.rate, true, c.center, 1.0});
        rsid_tool::waterfall w(s.width(), s.entry_hz(0), s.bin_hz(), c.rate);
        s.on_pass = [&](const float* m, double centre) { w.add(m, centre); };
        std::vector<rsid::detection> out;
        s.feed(f.data(), x.size(), out);
        s.finish(out);
        ASSERT_EQ(out.size(), c.ids.size());
        for (const auto& d : out)
            w.mark({d.time_s, synth::length_s, d.freq_hz, d.freq_hz + 15 * 10.7666,
                    rsid_tool::mark_label(d.time_s, d.freq_hz, d.snr_db)});
        w.write_png(png.string(), "test");
        const rsid_tool::waterfall_layout l = w.layout();
        const picture pic = read_png(png);
        EXPECT_EQ(pic.width, l.width);
        EXPECT_EQ(pic.height, l.height);
        EXPECT_EQ(pic.width, 1320); // the plot's 1200 px and the axes
        EXPECT_GE(l.plot_height, 400.0);
        // The axes span the band and the input.
        EXPECT_NEAR(l.low_hz, c.center - c.rate / 2, s.bin_hz());
        EXPECT_NEAR(l.high_hz, c.center + c.rate / 2, s.bin_hz());
        EXPECT_NEAR(l.start_s, 0.0, 0.05);
        EXPECT_NEAR(l.end_s, c.seconds, 0.25); // and the passes that close the stream
        std::size_t marked = 0;
        for (const placed& p : c.ids) {
            const double xc = l.x(c.center + p.offset_hz + 7.5 * 10.7666);
            const double x0 = std::min(l.x(c.center + p.offset_hz), xc - 5.0);
            const double x1 = std::max(l.x(c.center + p.offset_hz + 15 * 10.7666), xc + 5.0);
            const double y0 = l.y(p.start_s), y1 = l.y(p.start_s + synth::length_s);
            const std::string where =
                std::to_string(p.offset_hz) + " Hz at " + std::to_string(p.start_s) + " s";
            EXPECT_TRUE(pic.mark_near(x0, (y0 + y1) / 2)) << "left side, " << where;
            EXPECT_TRUE(pic.mark_near(x1, (y0 + y1) / 2)) << "right side, " << where;
            EXPECT_TRUE(pic.mark_near(xc, y0)) << "top, " << where;
            EXPECT_TRUE(pic.mark_near(xc, y1)) << "bottom, " << where;
            EXPECT_FALSE(pic.mark_near(xc, (y0 + y1) / 2)) << "inside, " << where;
            // four sides, two pixels thick
            marked += static_cast<std::size_t>(4 * (x1 - x0 + 3) + 4 * (y1 - y0 + 3));
        }
        // Nothing else in the marks' colour: at most the boxes' outlines.
        std::size_t seen = 0;
        for (int y = 0; y < pic.height; ++y)
            for (int xx = 0; xx < pic.width; ++xx)
                seen += pic.is_mark(xx, y) ? 1u : 0u;
        EXPECT_GT(seen, 0u);
        EXPECT_LE(seen, marked);
    }
    fs::remove(png);
}

// Crowded pictures: reports close in time, in frequency or both. No two labels overlap, each
// label in the plot lies inside it and off every box, and what cannot be placed beside its box
// is listed below the plot rather than drawn over another.
TEST(Waterfall, LabelsOfCrowdedReportsDoNotOverlap) {
    const struct {
        const char* what;
        int count;
        double step_s, step_hz; // between neighbouring reports
    } cases[] = {
        {"same time, 200 Hz apart", 12, 0.0, 200.0},
        {"same band, 0.2 s apart", 30, 0.2, 0.0},
        {"both close", 40, 0.05, 40.0},
        {"a pile at one spot", 80, 0.0, 0.0},
    };
    const fs::path png = fs::temp_directory_path() / "rsid-crowded-test.png";
    for (const auto& c : cases) {
        rsid::band_scanner s({48000.0, true, 7.1e6, 1.0}); // only its spacing: no input
        rsid_tool::waterfall w(s.width(), s.entry_hz(0), s.bin_hz(), 48000.0);
        const std::vector<float> row(static_cast<std::size_t>(s.width()), 1.0f);
        for (int pass = 0; pass < 300; ++pass) // 300 passes: 13.9 s
            w.add(row.data(), pass * s.frame() / 4.0 + s.frame() / 2.0);
        for (int i = 0; i < c.count; ++i) {
            const double t = 2.0 + i * c.step_s, f = 7.1e6 + i * c.step_hz;
            w.mark({t, synth::length_s, f, f + 15 * 10.7666, rsid_tool::mark_label(t, f, 3.0)});
        }
        const rsid_tool::waterfall_layout l = w.layout();
        ASSERT_EQ(l.labels.size(), static_cast<std::size_t>(c.count)) << c.what;
        int in_plot = 0;
        for (std::size_t i = 0; i < l.labels.size(); ++i) {
            const rsid_tool::waterfall_box& a = l.labels[i];
            if (!l.listed[i]) {
                ++in_plot;
                EXPECT_GE(a.x0, l.left) << c.what;
                EXPECT_LE(a.x1, l.left + l.plot_width) << c.what;
                EXPECT_GE(a.y0, l.top) << c.what;
                EXPECT_LE(a.y1, l.top + l.plot_height) << c.what;
                for (const rsid_tool::waterfall_box& m : l.marks)
                    EXPECT_FALSE(a.intersects(m)) << c.what << ": label " << i << " on a box";
            }
            EXPECT_LE(a.y1, l.height) << c.what;
            for (std::size_t j = 0; j < i; ++j)
                EXPECT_FALSE(a.intersects(l.labels[j]))
                    << c.what << ": labels " << j << " and " << i << " overlap";
        }
        EXPECT_GE(in_plot, std::min(c.count, 8)) << c.what; // most go beside their boxes
        w.write_png(png.string(), c.what);
        EXPECT_EQ(read_png(png).height, l.height) << c.what; // the list fits the picture
    }
    fs::remove(png);
}

// The tones of an identifier must stand out in the picture: at 0 dB SNR in a band that also holds
// a carrier 70 dB over the noise, out of the noise around them; and in every case out of what
// lies between them in the identifier's band, not drowned in a glare, even in a band without
// noise (digital silence and the identifier alone). Compared: the brightest pixel (sum of R, G
// and B) of each row inside the identifier's box, with that of each row of an equal box of noise
// beside it, and with the median pixel of the row inside the box.
TEST(Waterfall, TonesOfAWeakIdentifierShow) {
    constexpr double rate = 48000.0, seconds = 4.0, start = 1.0, offset = 5000.0;
    const struct {
        const char* what;
        bool noise;     // at 0 dB SNR
        double carrier; // its amplitude over the identifier's, 15 kHz below the centre
    } cases[] = {
        {"0 dB SNR beside a strong carrier", true, 3000.0},
        {"no noise", false, 0.0},
    };
    for (const auto& c : cases) {
        iq x(static_cast<std::size_t>(rate * seconds));
        synth::add_identifier_iq(x, rate, start, offset, amplitude);
        if (c.noise)
            synth::add_noise_iq(x, rate, amplitude, 0.0, 11);
        for (std::size_t i = 0; i < x.size(); ++i)
            x[i] += std::polar(c.carrier * amplitude,
                               -2.0 * std::numbers::pi * 15000.0 * static_cast<double>(i) / rate);
        std::vector<float> f;
        for (const auto& v : x)
            f.insert(f.end(), {static_cast<float>(v.real()), static_cast<float>(v.imag())});
        rsid::band_scanner s({rate, true, 0.0, 1.0});
        rsid_tool::waterfall w(s.width(), s.entry_hz(0), s.bin_hz(), rate);
        s.on_pass = [&](const float* m, double centre) { w.add(m, centre); };
        std::vector<rsid::detection> out;
        s.feed(f.data(), x.size(), out);
        s.finish(out);
        const fs::path png = fs::temp_directory_path() / "rsid-weak-test.png";
        w.write_png(png.string(), "weak");
        const rsid_tool::waterfall_layout l = w.layout();
        const picture pic = read_png(png);
        fs::remove(png);
        // Over the rows of the identifier, the mean of the brightest and of the median pixel
        // between x0 and x1.
        const auto brightness = [&](double x0, double x1) {
            double brightest = 0.0, median = 0.0;
            int rows = 0;
            for (int y = static_cast<int>(l.y(start + 0.1)); y < static_cast<int>(l.y(start + 1.3));
                 ++y, ++rows) {
                std::vector<int> row;
                for (int xx = static_cast<int>(x0); xx < static_cast<int>(x1); ++xx) {
                    const uint32_t p = pic.pixels[static_cast<std::size_t>(y * pic.width + xx)];
                    row.push_back(
                        static_cast<int>(((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF)));
                }
                std::sort(row.begin(), row.end());
                brightest += row.back();
                median += row[row.size() / 2];
            }
            return std::pair{brightest / std::max(1, rows), median / std::max(1, rows)};
        };
        const double x0 = l.x(offset - 5.0), x1 = l.x(offset + 15 * 10.7666 + 5.0);
        const auto [tones, between] = brightness(x0, x1);
        const double w_px = x1 - x0;
        const double noise = (brightness(l.x(offset - 2000.0), l.x(offset - 2000.0) + w_px).first +
                              brightness(l.x(offset + 2000.0), l.x(offset + 2000.0) + w_px).first) /
                             2.0;
        EXPECT_GT(tones, noise + 60.0) << c.what << ": tones " << tones << ", noise " << noise;
        EXPECT_GT(tones, between + 60.0)
            << c.what << ": tones " << tones << ", between them " << between;
    }
}

// The tool's plots: the picture's size, and the boxes in the columns of the reports.
TEST_F(scan_cli, plots_scans_and_detections) {
    write_file(path("band.cs16"), encode(make_band(5), "cs16"));
    EXPECT_EQ(sh("$RSID scan -t cs16 -r 96000 --center 7.1e6 --plot band.png band.cs16").status, 0);
    const picture pic = read_png(path("band.png"));
    EXPECT_EQ(pic.width, 1320);
    EXPECT_GE(pic.height, 400);
    EXPECT_LE(pic.height, 2000 + 200);
    // One box per identifier, in the columns its frequency maps to (96 px of margin, 1200 of
    // plot across the band).
    for (const placed& p : iq_ids) {
        const double x = 96 + (p.offset_hz + 7.5 * 10.7666 + iq_rate / 2) / iq_rate * 1200;
        int rows_with_mark = 0;
        for (int y = 0; y < pic.height; ++y)
            rows_with_mark += pic.mark_near(x - 5, y) ? 1 : 0;
        EXPECT_GT(rows_with_mark, 10) << p.offset_hz;
    }

    // rsid detect --plot: 0-3 kHz of one file; several inputs get numbered pictures.
    std::vector<double> audio(static_cast<std::size_t>(8000 * 3.0));
    synth::add_identifier(audio, 8000.0, 0.8, 1500.0, 0.3);
    write_float_wav(path("a.wav"), 8000, 1, audio);
    EXPECT_EQ(sh("$RSID detect --plot d.png a.wav a.wav").status, 0);
    for (const char* name : {"d-1.png", "d-2.png"}) {
        const picture d = read_png(path(name));
        EXPECT_EQ(d.width, 1320) << name;
        const double x = 96 + (1500.0 + 7.5 * 10.7666) / 3000.0 * 1200;
        int rows_with_mark = 0;
        for (int y = 0; y < d.height; ++y)
            rows_with_mark += d.mark_near(x - 5, y) ? 1 : 0;
        EXPECT_GT(rows_with_mark, 10) << name;
    }
    EXPECT_FALSE(fs::exists(path("d.png")));
}

} // namespace
