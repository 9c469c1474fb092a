// The rsid tool as a user runs it: round trips through real files and pipes, the reported
// positions and frequencies, JSON output, and every exit status. Test audio is made by
// `rsid send` itself and, for noise and stereo, by libsndfile in a temporary directory.
#include "json_schema.h"
#include "rsid.h"
#include "rsid_signal.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace sig = rsid_signal;

constexpr double bin_hz = sig::bin_width_hz; // the detector's frequency step
constexpr double sequence_s = static_cast<double>(sig::sequence_tx_samples) / sig::tx_rate;
constexpr double position_tol = 0.025; // reported start vs where the identifier was put [s]

struct result {
    int status = -1;
    std::string out;
    std::string err;
    std::vector<json> records() const {
        std::vector<json> r;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            r.push_back(json::parse(line));
        return r;
    }
    std::vector<json> detections() const {
        std::vector<json> d;
        for (const json& j : records())
            if (j.at("type") == "detection")
                d.push_back(j);
        return d;
    }
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every JSON line a test sees is checked against the schema shipped with the tool.
void expect_valid_json_lines(const std::string& out, const std::string& command) {
    static const json schema = json::parse(slurp(RSID_SCHEMA));
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const json j = json::parse(line, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << command << "\nnot JSON: " << line;
        const std::string error = schema_check::validate(j, schema, schema);
        EXPECT_EQ(error, "") << command << "\n" << line;
    }
}

class cli : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "rsid-cli-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs a shell command in the temporary directory with $RSID naming the tool; stdin is
    // empty unless the command pipes into it.
    result sh(const std::string& command) const {
        const std::string full = "cd '" + dir_.string() + "' && RSID='" RSID_TOOL "' && (" +
                                 command + ") >.out 2>.err </dev/null";
        const int w = std::system(full.c_str());
        result r;
        r.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
        r.out = slurp(dir_ / ".out");
        r.err = slurp(dir_ / ".err");
        if (command.find("--json") != std::string::npos)
            expect_valid_json_lines(r.out, command);
        return r;
    }

    fs::path path(const std::string& name) const { return dir_ / name; }

    // Starts `sh -c command` in the temporary directory without waiting for it.
    pid_t start(const std::string& command) const {
        const std::string full =
            "cd '" + dir_.string() + "' && export RSID='" RSID_TOOL "' && exec " + command;
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", full.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }

    void write_file(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }

    fs::path dir_;
};

#define EXPECT_STATUS(r, want)                                                                     \
    EXPECT_EQ((r).status, want) << "stdout:\n" << (r).out << "stderr:\n" << (r).err

std::vector<double> read_mono(const fs::path& p, int* rate) {
    SF_INFO info{};
    SNDFILE* f = sf_open(p.c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << p << ": " << sf_strerror(nullptr);
    std::vector<double> v(static_cast<std::size_t>(info.frames));
    EXPECT_EQ(sf_readf_double(f, v.data(), info.frames), info.frames);
    sf_close(f);
    *rate = info.samplerate;
    return v;
}

// Writes float WAV (normalised) so that added noise is never clipped.
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

void expect_detection(const json& d, double start, double freq, const std::string& where) {
    EXPECT_EQ(d.at("code"), 131) << where;
    EXPECT_NEAR(d.at("time_s").get<double>(), start, position_tol) << where;
    EXPECT_NEAR(d.at("freq_hz").get<double>(), freq, bin_hz) << where;
}

// One row per container, encoding and rate; the base frequencies spread across the band.
TEST_F(cli, round_trips_through_files) {
    const struct {
        double freq;
        int rate;
        const char* name;
        const char* args;
        int subformat;
        double lead;
    } cases[] = {
        {700, 8000, "a.wav", "-b 16", SF_FORMAT_PCM_16, 0.4},
        {1000, 11025, "b.wav", "-b 8", SF_FORMAT_PCM_U8, 1.1},
        {1500, 44100, "c.wav", "-b 24", SF_FORMAT_PCM_24, 0.0},
        {1800, 48000, "d.wav", "-e float", SF_FORMAT_FLOAT, 2.3},
        {2200, 48000, "e.flac", "", SF_FORMAT_PCM_16, 0.75},
        {1234, 22050, "f.flac", "-b 24", SF_FORMAT_PCM_24, 1.6},
        {620, 16000, "g.au", "-e mu-law", SF_FORMAT_ULAW, 0.3},
        {2000, 32000, "h.ogg", "", SF_FORMAT_VORBIS, 0.5},
        {1600, 96000, "i.caf", "-e float -b 64", SF_FORMAT_DOUBLE, 0.9},
    };
    for (const auto& c : cases) {
        const std::string where = std::string(c.name) + " at " + std::to_string(c.freq) + " Hz";
        const result sent =
            sh("$RSID send -f " + std::to_string(c.freq) + " -r " + std::to_string(c.rate) + " " +
               c.args + " --lead " + std::to_string(c.lead) + " --tail 0.5 -o " + c.name);
        EXPECT_STATUS(sent, 0);
        SF_INFO info{};
        SNDFILE* f = sf_open(path(c.name).c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr) << where;
        sf_close(f);
        EXPECT_EQ(info.samplerate, c.rate) << where;
        EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, c.subformat) << where;
        EXPECT_NEAR(static_cast<double>(info.frames) / c.rate, c.lead + sequence_s + 0.5, 0.01)
            << where;
        int rate = 0;
        double peak = 0.0;
        for (double x : read_mono(path(c.name), &rate))
            peak = std::max(peak, std::abs(x));
        const bool lossy_format = c.subformat == SF_FORMAT_VORBIS || c.subformat == SF_FORMAT_ULAW;
        const double lossy = lossy_format ? 0.15 : 0.03;
        EXPECT_NEAR(peak, sig::peak / sig::full_scale, lossy)
            << where << ": the generator's peak, normalised";

        const result found = sh(std::string("$RSID detect --json ") + c.name);
        EXPECT_STATUS(found, 0);
        const auto d = found.detections();
        ASSERT_EQ(d.size(), 1u) << where << "\n" << found.out;
        expect_detection(d[0], c.lead, c.freq, where);
        EXPECT_EQ(d[0].at("rate"), c.rate) << where;
        EXPECT_NEAR(d[0].at("sample").get<double>(), d[0].at("time_s").get<double>() * c.rate,
                    0.001 * c.rate); // time_s is rounded to milliseconds
    }
}

// At 48000/s and 16 bits the file holds the generator's samples unchanged.
TEST_F(cli, send_writes_the_generator_samples) {
    EXPECT_STATUS(sh("$RSID send -f 1502.7 --lead 0.01 -o x.wav"), 0);
    int rate = 0;
    const std::vector<double> file = read_mono(path("x.wav"), &rate);
    const std::size_t lead = sig::tx_rate / 100;
    ASSERT_EQ(file.size(), lead + sig::sequence_tx_samples);
    rsid_encode(1502.7);
    std::vector<int16_t> want(lead, 0);
    int16_t block[sig::tx_block];
    while (rsid_get(block))
        want.insert(want.end(), block, block + sig::tx_block);
    // The last block ends in silence that is not sent.
    want.insert(want.end(), block, block + sig::sequence_tx_samples % sig::tx_block);
    for (std::size_t i = 0; i < file.size(); ++i)
        ASSERT_EQ(std::lround(file[i] * 32768.0), want[i]) << "sample " << i;
}

// send --code sends any code; detect and scan report it with --codes, by its number; the
// default looks for 131 only, and --exact keeps the library's rule.
TEST_F(cli, any_code_from_send_to_detect_and_scan) {
    const struct {
        int code;
        double freq;
        const char* detect_args;
        int want; // code reported; 0: nothing
    } cases[] = {
        {2255, 1000.0, "--codes all", 2255},
        {4000, 700.0, "--codes 7,4000", 4000},
        {4000, 700.0, "", 0},
        {131, 1800.0, "--exact", 131},
        {131, 1800.0, "--codes all", 131},
        {0, 1500.0, "--codes all", 0},
    };
    for (const auto& c : cases) {
        const std::string name = "c" + std::to_string(c.code) + ".wav";
        const std::string where = name + " " + c.detect_args;
        EXPECT_STATUS(sh("$RSID send --code " + std::to_string(c.code) + " -f " +
                         std::to_string(c.freq) + " --lead 0.6 --tail 0.4 -o " + name),
                      0);
        for (const std::string command : {"detect", "scan"}) {
            const result r = sh("$RSID " + command + " --json " + c.detect_args + " " + name);
            const auto d = r.detections();
            if (c.want == 0) {
                EXPECT_TRUE(d.empty()) << where << "\n" << r.out;
                continue;
            }
            ASSERT_EQ(d.size(), 1u) << command << " " << where << "\n" << r.out << r.err;
            EXPECT_EQ(d[0].at("code"), c.want) << command << " " << where;
            EXPECT_NEAR(d[0].at("time_s").get<double>(), 0.6, position_tol) << where;
            EXPECT_NEAR(d[0].at("freq_hz").get<double>(), c.freq, bin_hz) << where;
        }
    }
    EXPECT_STATUS(sh("$RSID send --code 4096 -o x.wav"), 2);
    EXPECT_STATUS(sh("$RSID detect --codes 131,x c131.wav"), 2);
    EXPECT_STATUS(sh("$RSID detect --exact --codes 7 c131.wav"), 2);
}

// Noise well above the identifier's level in the full band, and 2.5 s of noise before it.
// Pure noise of the same level gives no report. Seeds are fixed.
TEST_F(cli, finds_the_identifier_in_noise_and_nothing_in_noise_alone) {
    EXPECT_STATUS(sh("$RSID send -f 1300 -r 16000 --lead 2.5 --tail 1 -o clean.wav"), 0);
    int rate = 0;
    std::vector<double> v = read_mono(path("clean.wav"), &rate);
    const struct {
        const char* name;
        unsigned seed;
        double signal; // gain on the identifier
    } cases[] = {{"noisy.wav", 1, 1.0}, {"noise1.wav", 2, 0.0}, {"noise2.wav", 3, 0.0}};
    for (const auto& c : cases) {
        std::mt19937 rng(c.seed);
        std::normal_distribution<double> noise(0.0, 0.3); // 3 dB above the tone's 0.43 rms
        std::vector<double> x(v.size() * 4); // 4x as long: more chances for a false report
        for (std::size_t i = 0; i < x.size(); ++i)
            x[i] = (i < v.size() ? c.signal * v[i] : 0.0) + noise(rng);
        write_float_wav(path(c.name), rate, 1, x);
        const result r = sh(std::string("$RSID detect --json ") + c.name);
        const auto d = r.detections();
        if (c.signal > 0.0) {
            EXPECT_STATUS(r, 0);
            ASSERT_EQ(d.size(), 1u) << c.name << " seed " << c.seed << "\n" << r.out;
            expect_detection(d[0], 2.5, 1300, c.name);
        } else {
            EXPECT_STATUS(r, 1);
            EXPECT_TRUE(d.empty()) << c.name << " seed " << c.seed << "\n" << r.out;
        }
    }
}

// Several inputs in one call: each report names its own input, an identifier at the very end of
// one file is still reported for that file, and repeats are reported one by one.
TEST_F(cli, scans_several_inputs_in_order) {
    EXPECT_STATUS(sh("$RSID send -f 900 --lead 0.6 -o end.wav"), 0); // no tail at all
    EXPECT_STATUS(sh("$RSID send -f 1700 --volume 0.000001 --lead 1 -o quiet.wav"), 0);
    EXPECT_STATUS(sh("$RSID send -f 2100 -r 8000 --lead 1 --repeat 3 --gap 1.5 -o three.wav"), 0);
    const result r = sh("$RSID detect --json end.wav quiet.wav three.wav");
    EXPECT_STATUS(r, 0);
    std::vector<std::pair<std::string, double>> seen;
    std::vector<std::string> ends;
    for (const json& j : r.records()) {
        EXPECT_EQ(j.at("version"), 2);
        if (j.at("type") == "detection")
            seen.emplace_back(j.at("input"), j.at("time_s"));
        else
            ends.push_back(j.at("input").get<std::string>() + " " +
                           j.at("status").get<std::string>() + " " +
                           std::to_string(j.at("detections").get<int>()));
    }
    const std::vector<std::pair<std::string, double>> want = {
        {"end.wav", 0.6},
        {"three.wav", 1.0},
        {"three.wav", 1.0 + 1.5 + sequence_s},
        {"three.wav", 1.0 + 2 * (1.5 + sequence_s)}};
    ASSERT_EQ(seen.size(), want.size()) << r.out;
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(seen[i].first, want[i].first) << i;
        EXPECT_NEAR(seen[i].second, want[i].second, position_tol) << seen[i].first;
    }
    EXPECT_EQ(ends, (std::vector<std::string>{"end.wav ok 1", "quiet.wav ok 0", "three.wav ok 3"}));
}

TEST_F(cli, reads_streams_from_stdin) {
    EXPECT_STATUS(sh("$RSID send -f 1100 --lead 0.7 -o id.wav"), 0);
    const struct {
        const char* command;
        double start;
    } cases[] = {
        {"$RSID send -f 1100 --lead 0.7 -t raw -o - | $RSID detect -t raw -r 48000 -e signed -b 16 "
         "-",
         0.7},
        {"$RSID send -f 1100 --lead 0.7 -r 8000 -e mu-law -t raw -o - | $RSID detect -t raw -r "
         "8000 -e mu-law -",
         0.7},
        {"cat id.wav | $RSID detect -", 0.7},
        {"$RSID send -f 1100 --lead 0.3 -t flac -o - | $RSID detect -", 0.3},
        {"$RSID send -f 1100 --lead 0.4 -t ogg -o - | $RSID detect -", 0.4},
        {"$RSID detect - < id.wav", 0.7},
    };
    for (const auto& c : cases) {
        const result r = sh(c.command);
        EXPECT_STATUS(r, 0);
        EXPECT_EQ(r.out.substr(0, 7), "stdin: ") << c.command << "\n" << r.out;
        EXPECT_NE(r.out.find("  code 131  11"), std::string::npos) << c.command << "\n" << r.out;
        // "stdin: hh:mm:ss.ss": the seconds field
        const double s = std::stod(r.out.substr(7 + 6, 5));
        EXPECT_NEAR(s, c.start, position_tol) << c.command;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << c.command << "\n" << r.out;
    }
}

// A WAV header for 16-bit mono at 48000/s whose data chunk claims `data_bytes`, with `junk`
// small chunks before it, as streaming writers and recorders leave them.
std::string wav_header(uint32_t data_bytes, int junk = 0) {
    std::string h = "RIFF";
    auto put32 = [&h](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            h.push_back(static_cast<char>(v >> (8 * i)));
    };
    put32(data_bytes == 0 ? 0 : data_bytes + 36 + 12 * static_cast<uint32_t>(junk));
    h += "WAVEfmt ";
    put32(16);
    const unsigned char fmt[16] = {1, 0, 1, 0, 0x80, 0xBB, 0, 0, 0, 0x77, 1, 0, 2, 0, 16, 0};
    h.append(reinterpret_cast<const char*>(fmt), 16);
    for (int i = 0; i < junk; ++i) {
        h += "junk";
        put32(4);
        h += "abcd";
    }
    h += "data";
    put32(data_bytes);
    return h;
}

// Writers that cannot go back to their header (sox, ffmpeg and arecord on a pipe, a recorder
// that was killed) leave one of these as the data length; each means "until the end", on a
// pipe and in a file alike. A file whose header says 0 bytes is read with a warning.
TEST_F(cli, reads_streamed_wav_lengths_to_the_end) {
    EXPECT_STATUS(sh("$RSID send -f 1300 --lead 0.8 --tail 0.5 -t raw -o - > id.raw"), 0);
    const std::string samples = slurp(path("id.raw"));
    for (const uint32_t length : {0u, 0xFFFFFFFFu, 0x7FFFF000u, 0x80000000u}) {
        write_file("s.wav", wav_header(length) + samples);
        for (const char* how : {"cat s.wav | $RSID detect --json -", "$RSID detect --json s.wav"}) {
            const std::string where = std::string(how) + " with length " + std::to_string(length);
            const result r = sh(how);
            EXPECT_STATUS(r, 0) << where;
            const auto d = r.detections();
            ASSERT_EQ(d.size(), 1u) << where << "\n" << r.out;
            expect_detection(d[0], 0.8, 1300, where);
            const bool warned = r.err.find("0 data bytes") != std::string::npos;
            EXPECT_EQ(warned, length == 0 && how[0] == '$') << where << "\n" << r.err;
        }
    }
}

// The header's promise against what is there: cut inside the data after a hundred chunks, a
// cut FLAC file, and a complete file of each kind.
TEST_F(cli, truncation_is_decided_by_the_frames_promised) {
    EXPECT_STATUS(sh("$RSID send -f 1300 --lead 0.8 --tail 0.5 -t raw -o - > id.raw && "
                     "$RSID send -f 1300 --lead 0.8 --tail 0.5 -o id.flac && "
                     "head -c 30000 id.flac > cut.flac"),
                  0);
    const std::string samples = slurp(path("id.raw"));
    const auto n = static_cast<uint32_t>(samples.size());
    write_file("chunks.wav", wav_header(n, 100) + samples);
    write_file("chunks-cut.wav", wav_header(n, 100) + samples.substr(0, samples.size() / 2));
    const struct {
        const char* command;
        int status;
    } cases[] = {
        {"$RSID detect chunks.wav", 0},
        {"$RSID detect chunks-cut.wav", 3},
        {"cat chunks-cut.wav | $RSID detect -", 3},
        {"$RSID detect id.flac", 0},
        {"$RSID detect cut.flac", 3},
        {"cat cut.flac | $RSID detect -", 3},
    };
    for (const auto& c : cases) {
        const result r = sh(c.command);
        EXPECT_STATUS(r, c.status) << c.command;
        if (c.status == 3) {
            EXPECT_NE(r.err.find("truncated"), std::string::npos) << c.command << "\n" << r.err;
        }
    }
}

// A live source: a FIFO that the test keeps open after the identifier and some silence. The
// report must come while the writer still holds the stream, not when it ends.
TEST_F(cli, reports_from_a_live_stream_before_it_ends) {
    EXPECT_STATUS(sh("$RSID send -f 1700 --lead 0.5 --tail 2 -t raw -o - > id.raw && mkfifo live"),
                  0);
    const pid_t pid = start("$RSID detect --json live > live.out 2> live.err");
    const int fd = open(path("live").c_str(), O_WRONLY); // waits for the reader
    ASSERT_GE(fd, 0);
    const std::string bytes = wav_header(0xFFFFFFFFu) + slurp(path("id.raw"));
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    bool reported = false;
    for (int i = 0; i < 200 && !reported; ++i) { // up to 20 s; it takes well under one
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        reported = slurp(path("live.out")).find("\"detection\"") != std::string::npos;
    }
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(reported) << "no report while the stream was open\n" << slurp(path("live.err"));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Waits up to 5 s for a started command and returns its wait status; one still running then
// is killed and reported as a failure (a hang must fail the test, not stall it).
int wait_or_kill(pid_t pid, const std::string& where) {
    int status = 0;
    pid_t done = 0;
    const auto since = std::chrono::steady_clock::now();
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() - since < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << where << ": still running after 5 s";
    }
    return status;
}

// Waits (up to 5 s) until a started tool catches SIGINT, as /proc says, and then 300 ms more for
// it to reach the state under test: on a loaded machine a fixed sleep can end before the tool
// has installed its handlers, and the signal would then kill it.
void wait_for_handlers(pid_t pid) {
    // The shell of start() execs the tool, but may itself open a redirection first (blocking on
    // a FIFO): only the tool's own SigCgt counts, with both SIGINT and SIGTERM caught.
    const std::string tool = fs::canonical(RSID_TOOL).string();
    const auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - since < std::chrono::seconds(20)) {
        std::error_code error;
        const fs::path exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        bool caught = false;
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("SigCgt:", 0) == 0) {
                const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
                caught = ((mask >> (SIGINT - 1)) & 1u) != 0 && ((mask >> (SIGTERM - 1)) & 1u) != 0;
            }
        }
        if (!error && exe.string() == tool && caught)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "the tool did not catch SIGINT and SIGTERM within 20 s";
}

// One SIGINT or SIGTERM ends a scan in every state: waiting for a FIFO's writer, waiting for
// data inside a container, and reading raw samples from a pipe. The end record says so and the
// exit status is the shell's for the signal.
TEST_F(cli, a_signal_ends_the_scan_in_every_state) {
    EXPECT_STATUS(sh("mkfifo silent held"), 0);
    const struct {
        const char* command;
        const char* writer; // keeps the input open, or null
    } states[] = {
        {"$RSID detect --json silent", nullptr},
        {"$RSID detect --json held", "held"},
        {"$RSID detect --json -t raw -r 8000 -e signed -b 16 - < held", "held"},
    };
    for (const auto& s : states) {
        for (const int sig : {SIGINT, SIGTERM}) {
            const std::string where = std::string(s.command) + " signal " + std::to_string(sig);
            const pid_t pid = start(std::string(s.command) + " > sig.out");
            int fd = -1;
            if (s.writer) {
                fd = open(path(s.writer).c_str(), O_WRONLY);
                const std::string header = wav_header(0xFFFFFFFFu) + std::string(4800, '\0');
                ASSERT_EQ(write(fd, header.data(), header.size()),
                          static_cast<ssize_t>(header.size()));
            }
            wait_for_handlers(pid);
            kill(pid, sig);
            const int status = wait_or_kill(pid, where + ": after the signal");
            if (fd >= 0)
                close(fd);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + sig)
                << where << ": status " << status;
            const std::string out = slurp(path("sig.out"));
            EXPECT_NE(out.find("\"status\":\"interrupted\""), std::string::npos) << where << out;
            expect_valid_json_lines(out, where);
        }
    }
}

// One SIGINT or SIGTERM ends `rsid send` into a FIFO in every state: waiting for a reader, and
// writing to a reader that has stopped taking the samples, with the pipe full. The status is
// the shell's for the signal, and nothing is said.
TEST_F(cli, a_signal_ends_send_in_every_state) {
    EXPECT_STATUS(sh("mkfifo out"), 0);
    for (const bool reader : {false, true}) {
        for (const int sig : {SIGINT, SIGTERM}) {
            const std::string where = std::string(reader ? "a full pipe" : "no reader") +
                                      ", signal " + std::to_string(sig);
            const pid_t pid = start("$RSID send -t raw --repeat 100 -o out 2> err");
            int fd = -1;
            if (reader) { // opened, never read: the pipe fills and stays full
                fd = open(path("out").c_str(), O_RDONLY | O_NONBLOCK);
                ASSERT_GE(fd, 0);
                int queued = -1;
                for (int last = -2, same = 0; same < 3; last = queued) { // unchanged over 150 ms
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    ASSERT_EQ(ioctl(fd, FIONREAD, &queued), 0);
                    same = queued > 0 && queued == last ? same + 1 : 0;
                }
            }
            wait_for_handlers(pid);
            kill(pid, sig);
            const int status = wait_or_kill(pid, where);
            if (fd >= 0)
                close(fd);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + sig)
                << where << ": status " << status;
            EXPECT_EQ(slurp(path("err")), "") << where;
        }
    }
}

// With several jobs, SIGINT ends every input at once, also those waiting on a silent pipe or
// FIFO; the first input it cut short says "interrupted" and every later one, cut short or never
// begun, "stopped": none claims to be complete.
TEST_F(cli, a_signal_ends_every_job) {
    EXPECT_STATUS(sh("mkfifo held1 held2 && head -c 96000 /dev/zero > r3.cu8 && cp r3.cu8 r4.cu8"),
                  0);
    const char* commands[] = {
        "$RSID scan -j 2 --json -t cu8 -r 48000 - held2 r3.cu8 r4.cu8 < held1 > sig.out",
        "$RSID detect -j 2 --json -t raw -r 8000 -e signed -b 16 - held2 r3.cu8 r4.cu8 < held1 "
        "> sig.out",
    };
    for (const char* command : commands) {
        const pid_t pid = start(command);
        const int held1 = open(path("held1").c_str(), O_WRONLY); // each waits for its reader
        const int held2 = open(path("held2").c_str(), O_WRONLY);
        wait_for_handlers(pid);
        kill(pid, SIGINT);
        const int status = wait_or_kill(pid, command);
        close(held1);
        close(held2);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << command << ": " << status;
        std::multiset<std::string> statuses;
        std::istringstream lines(slurp(path("sig.out")));
        for (std::string line; std::getline(lines, line);)
            statuses.insert(json::parse(line).at("status").get<std::string>());
        EXPECT_EQ(statuses,
                  (std::multiset<std::string>{"interrupted", "stopped", "stopped", "stopped"}))
            << command;
    }
}

// A failed write to stdout ends every stage of every input, also a reader waiting on a pipe
// that stays open and silent, and is exit 3 with the system's reason: never a hang, never the
// status of a signal.
TEST_F(cli, a_failed_stdout_ends_every_stage) {
    EXPECT_STATUS(sh("$RSID send -o a.wav && $RSID send -f 900 --lead 1 -o b.wav && mkfifo held"),
                  0);
    const char* commands[] = {
        "$RSID detect a.wav",
        "$RSID detect --json a.wav",
        "$RSID detect -j 1 a.wav b.wav",
        "$RSID detect -j 2 a.wav b.wav",
        "$RSID detect --channel all a.wav",
        "$RSID scan a.wav",
        "$RSID scan -j 2 --json a.wav b.wav",
        "$RSID detect - < held",
        "$RSID detect -j 2 - b.wav < held",
    };
    const std::string wav = slurp(path("a.wav"));
    for (const char* command : commands) {
        const pid_t pid = start(std::string(command) + " > /dev/full 2> err");
        int fd = -1;
        if (std::string(command).find("held") != std::string::npos) {
            // The identifier arrives and the pipe then stays open: only the failed report can
            // end the scan.
            fd = open(path("held").c_str(), O_WRONLY);
            ASSERT_EQ(write(fd, wav.data(), wav.size()), static_cast<ssize_t>(wav.size()));
        }
        const int status = wait_or_kill(pid, command);
        if (fd >= 0)
            close(fd);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << command << ": " << status;
        const std::string err = slurp(path("err"));
        EXPECT_NE(err.find("stdout: No space left on device"), std::string::npos) << command << "\n"
                                                                                  << err;
    }
}

// Memory stays bounded however long the input runs: an endless streamed WAV of silence for a
// few seconds (hundreds of megabytes), and an endless stream that is no sound file at all.
TEST_F(cli, memory_stays_bounded_on_endless_input) {
#ifdef RSID_SANITIZED
    GTEST_SKIP() << "the sanitizers' own memory use would decide this";
#endif
    write_file("h.wav", wav_header(0xFFFFFFFFu));
    const struct {
        const char* command;
        int status;
    } cases[] = {
        {"(cat h.wav; cat /dev/zero) | timeout --preserve-status -s TERM 3 $RSID detect -q -", 143},
        {"$RSID detect - < /dev/zero", 3},
    };
    for (const auto& c : cases) {
        const pid_t pid = start(std::string("sh -c '") + c.command + "'");
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage); // the largest of the shell and everything it waited for
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status)
            << c.command << ": status " << status;
        EXPECT_LT(usage.ru_maxrss, 64 * 1024) << c.command << ": peak resident set in KiB";
    }
}

// Left holds the identifier, right only silence: picking the channel decides the outcome.
TEST_F(cli, chooses_the_channel) {
    EXPECT_STATUS(sh("$RSID send -f 1400 --lead 0.5 --tail 0.5 -o mono.wav"), 0);
    int rate = 0;
    const std::vector<double> v = read_mono(path("mono.wav"), &rate);
    std::vector<double> stereo;
    for (double s : v)
        stereo.insert(stereo.end(), {s, 0.0});
    write_float_wav(path("stereo.wav"), rate, 2, stereo);
    const struct {
        const char* channel;
        int status;
    } cases[] = {{"1", 0}, {"2", 1}, {"mix", 0}, {"3", 3}};
    for (const auto& c : cases) {
        const result r = sh(std::string("$RSID detect --channel ") + c.channel + " stereo.wav");
        EXPECT_STATUS(r, c.status) << "--channel " << c.channel;
    }
}

// Each channel scanned separately, each report naming its channel; several jobs give exactly
// what one job gives, inputs in the order given.
TEST_F(cli, scans_every_channel_and_inputs_in_parallel) {
    EXPECT_STATUS(sh("$RSID send -f 800 --lead 0.5 --tail 2 -o a.wav && "
                     "$RSID send -f 1900 --lead 1.2 --tail 1.3 -o b.wav"),
                  0);
    int rate = 0;
    const std::vector<double> a = read_mono(path("a.wav"), &rate);
    const std::vector<double> b = read_mono(path("b.wav"), &rate);
    std::vector<double> stereo;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        stereo.insert(stereo.end(), {a[i], b[i]});
    write_float_wav(path("stereo.wav"), rate, 2, stereo);
    const result all = sh("$RSID detect --json --channel all stereo.wav");
    EXPECT_STATUS(all, 0);
    const std::vector<json> d = all.detections();
    ASSERT_EQ(d.size(), 2u) << all.out;
    for (const json& j : d) {
        const bool left = j.at("channel") == 1;
        expect_detection(j, left ? 0.5 : 1.2, left ? 800.0 : 1900.0, "channel all");
    }

    std::string inputs;
    for (int i = 0; i < 6; ++i) {
        const std::string name = "in" + std::to_string(i) + ".wav";
        EXPECT_STATUS(sh("$RSID send -f " + std::to_string(700 + 250 * i) + " --lead " +
                         std::to_string(0.3 * i) + " --repeat " + std::to_string(1 + i % 3) +
                         " -o " + name),
                      0);
        inputs += " " + name + (i == 3 ? " missing.wav stereo.wav" : "");
    }
    const result one = sh("$RSID detect --json -j 1 --channel all" + inputs);
    const result many = sh("$RSID detect --json -j 4 --channel all" + inputs);
    EXPECT_STATUS(one, 3);
    EXPECT_STATUS(many, 3);
    EXPECT_EQ(many.out, one.out);
    EXPECT_EQ(many.err, one.err);
    EXPECT_EQ(one.detections().size(), 1u + 2u + 3u + 1u + 2u + 2u + 3u) << one.out;
}

// The text line's columns say what the JSON record says: time, code, frequency, SNR, level and,
// for a record of one channel, the channel.
TEST_F(cli, text_columns_match_the_json_record) {
    EXPECT_STATUS(sh("$RSID send -f 800 --lead 0.5 --tail 1 -o a.wav && "
                     "$RSID send -f 1900 --lead 1.2 --tail 0.3 -o b.wav"),
                  0);
    int rate = 0;
    const std::vector<double> a = read_mono(path("a.wav"), &rate);
    const std::vector<double> b = read_mono(path("b.wav"), &rate);
    std::vector<double> stereo;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        stereo.insert(stereo.end(), {a[i], 0.5 * b[i]});
    write_float_wav(path("stereo.wav"), rate, 2, stereo);
    for (const char* channel : {"mix", "all", "2"}) {
        const std::string args = std::string(" --channel ") + channel + " stereo.wav";
        const result text = sh("$RSID detect" + args);
        const result j = sh("$RSID detect --json" + args);
        EXPECT_STATUS(text, 0) << channel;
        const std::vector<json> d = j.detections();
        std::istringstream lines(text.out);
        std::size_t n = 0;
        for (std::string line; std::getline(lines, line); ++n) {
            char time[16] = {};
            int code = -1, used = 0, ch = 0;
            double freq = 0, snr = 0, level = 0;
            ASSERT_EQ(std::sscanf(line.c_str(),
                                  "stereo.wav: %15s  code %d  %lf Hz  SNR %lf dB  %lf dBFS%n", time,
                                  &code, &freq, &snr, &level, &used),
                      5)
                << line;
            const std::string rest = line.substr(static_cast<std::size_t>(used));
            ASSERT_TRUE(rest.empty() || std::sscanf(rest.c_str(), "  ch %d", &ch) == 1) << line;
            ASSERT_LT(n, d.size()) << text.out;
            const json& r = d[n];
            EXPECT_EQ(time, r.at("time").get<std::string>()) << line;
            EXPECT_EQ(code, r.at("code")) << line;
            EXPECT_NEAR(freq, r.at("freq_hz").get<double>(), 0.051) << line;
            EXPECT_NEAR(snr, r.at("snr_db").get<double>(), 0.051) << line;
            EXPECT_NEAR(level, r.at("level_dbfs").get<double>(), 0.051) << line;
            EXPECT_EQ(ch, r.at("channel")) << line;
        }
        EXPECT_EQ(n, d.size()) << channel;
        EXPECT_EQ(n, std::string(channel) == "2" ? 1u : 2u) << text.out;
    }
}

// A WAV file with a Broadcast WAV bext chunk dated `date` `time` (local time) before its data.
std::string with_bext(const std::string& wav, const std::string& date, const std::string& time) {
    const std::size_t data = wav.find("data", 12);
    std::string bext(602, '\0');
    bext.replace(320, date.size(), date); // OriginationDate
    bext.replace(330, time.size(), time); // OriginationTime
    std::string chunk = "bext";
    for (int i = 0; i < 4; ++i)
        chunk += static_cast<char>((602u >> (8 * i)) & 0xff);
    std::string out = wav.substr(0, data) + chunk + bext + wav.substr(data);
    const auto riff = static_cast<uint32_t>(out.size() - 8);
    for (int i = 0; i < 4; ++i)
        out[4 + static_cast<std::size_t>(i)] = static_cast<char>((riff >> (8 * i)) & 0xff);
    return out;
}

// Where each record's utc comes from: --start (any zone; none is local time), a WAV file's bext
// chunk, or for live input with --utc the samples' arrival; --start overrides the file's time;
// --utc on a file that nothing dates says so on stderr.
TEST_F(cli, dates_reports_by_the_clock_given) {
    EXPECT_STATUS(sh("$RSID send --lead 0.5 -o id.wav"), 0);
    write_file("bwf.wav", with_bext(slurp(path("id.wav")), "2024-05-01", "07:00:00"));
    const struct {
        std::string command;
        const char* clock; // "": no utc
        const char* utc;   // "": any time within the run
        const char* err;   // on stderr
    } cases[] = {
        {"$RSID detect --json --start 2024-05-01T12:00:00Z id.wav", "start-option",
         "2024-05-01T12:00:00.500Z", ""},
        {"$RSID detect --json --start 2024-05-01T14:00:00+02:00 id.wav", "start-option",
         "2024-05-01T12:00:00.500Z", ""},
        {"TZ=EST5 $RSID detect --json --start 2024-05-01T07:00:00 id.wav", "start-option",
         "2024-05-01T12:00:00.500Z", ""},
        {"TZ=EST5 $RSID detect --json bwf.wav", "bext", "2024-05-01T12:00:00.500Z", ""},
        {"TZ=EST5 $RSID detect --json --utc --start 2024-05-01T13:00:00Z bwf.wav", "start-option",
         "2024-05-01T13:00:00.500Z", ""},
        {"$RSID detect --json --utc id.wav", "", "", "no start time"},
        {"cat id.wav | $RSID detect --json --utc -", "arrival", "", ""},
        {"$RSID detect --json id.wav", "", "", ""},
    };
    for (const auto& c : cases) {
        const auto before = std::chrono::system_clock::now() - std::chrono::seconds(1);
        const result r = sh(c.command);
        const auto after = std::chrono::system_clock::now() + std::chrono::seconds(1);
        EXPECT_STATUS(r, 0) << c.command;
        const std::vector<json> d = r.detections();
        ASSERT_EQ(d.size(), 1u) << c.command << "\n" << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.command << "\n" << r.err;
        if (std::string(c.err).empty()) {
            EXPECT_EQ(r.err, "") << c.command;
        }
        if (std::string(c.clock).empty()) {
            EXPECT_FALSE(d[0].contains("utc")) << c.command;
            EXPECT_FALSE(d[0].contains("clock")) << c.command;
            continue;
        }
        EXPECT_EQ(d[0].value("clock", ""), c.clock) << c.command;
        if (!std::string(c.utc).empty()) {
            EXPECT_EQ(d[0].value("utc", ""), c.utc) << c.command;
            continue;
        }
        std::tm tm{};
        const std::string utc = d[0].value("utc", "");
        ASSERT_NE(strptime(utc.c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr) << utc;
        const auto t = std::chrono::system_clock::from_time_t(timegm(&tm));
        EXPECT_TRUE(t >= before && t <= after) << c.command << ": " << utc;
    }
    const result bad = sh("$RSID detect --start yesterday id.wav");
    EXPECT_STATUS(bad, 2);
    EXPECT_NE(bad.err.find("--start takes an ISO 8601 time"), std::string::npos) << bad.err;
}

// A live stream faster than real time: the identifiers' times come from when their samples
// arrived and never run backwards, however far the reading runs ahead of the detectors.
TEST_F(cli, live_utc_never_runs_backwards) {
    EXPECT_STATUS(sh("$RSID send -t raw -e signed -b 16 --lead 0.3 --repeat 24 --gap 0.7 "
                     "-o ids.raw"),
                  0);
    for (int run = 0; run < 3; ++run) {
        const result r = sh("cat ids.raw | $RSID detect --json --utc -t raw -r 48000 -e signed "
                            "-b 16 -");
        EXPECT_STATUS(r, 0);
        const std::vector<json> d = r.detections();
        ASSERT_EQ(d.size(), 24u) << r.out;
        for (std::size_t i = 1; i < d.size(); ++i) {
            EXPECT_EQ(d[i].at("clock"), "arrival");
            // ISO 8601 with a fixed width orders as text does.
            EXPECT_GE(d[i].at("utc").get<std::string>(), d[i - 1].at("utc").get<std::string>())
                << "record " << i << " of run " << run;
        }
    }
}

TEST_F(cli, text_output_carries_label_and_once_stops) {
    EXPECT_STATUS(sh("$RSID send -f 1500 --lead 3.04 --repeat 3 -o three.wav"), 0);
    const result once = sh("$RSID detect --once --label station-7 three.wav");
    EXPECT_STATUS(once, 0);
    EXPECT_EQ(once.out.substr(0, 10), "three.wav:") << once.out;
    EXPECT_NE(once.out.find("  code 131  "), std::string::npos) << once.out;
    EXPECT_NE(once.out.find(" dBFS  station-7\n"), std::string::npos) << once.out;
    EXPECT_EQ(std::count(once.out.begin(), once.out.end(), '\n'), 1) << once.out;
    const result all = sh("$RSID detect -q three.wav");
    EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 3) << all.out;
    EXPECT_TRUE(all.err.empty()) << all.err;
}

// Every exit status, with the message naming what went wrong. A bad input among good ones is
// reported and the others are still scanned.
TEST_F(cli, exit_statuses) {
    EXPECT_STATUS(sh("$RSID send -f 1500 --lead 0.5 -o good.wav && $RSID send -o silent.wav "
                     "--volume 0.000001 && printf 'not audio at all, just some text\\n' > junk.wav "
                     "&& head -c 60000 good.wav > cut.wav && head -c 30 good.wav > stub.wav && "
                     ": > empty.wav && mkdir dir.wav"),
                  0);
    const struct {
        const char* command;
        int status;
        const char* message; // expected on stderr; "" for none
    } cases[] = {
        {"$RSID detect good.wav", 0, ""},
        {"$RSID detect silent.wav", 1, ""},
        {"$RSID detect missing.wav", 3, "missing.wav: No such file"},
        {"$RSID detect junk.wav", 3, "junk.wav: "},
        {"$RSID detect cut.wav", 3, "cut.wav: truncated"},
        {"$RSID detect stub.wav", 3, "stub.wav: "},
        {"$RSID detect empty.wav", 3, "empty.wav: "},
        {"$RSID detect dir.wav", 3, "dir.wav: is a directory"},
        {"$RSID detect junk.wav good.wav", 3, "junk.wav: "},
        {"$RSID detect -t raw -e signed -b 16 good.wav", 2, "rate"},
        {"$RSID detect -t raw -r 48000 -b 16 good.wav", 2, "encoding"},
        {"$RSID detect -t raw -r 48000 -e signed good.wav", 2, "width"},
        {"$RSID detect -t raw -r 48000 -e signed -b 12 good.wav", 2, "not supported"},
        {"$RSID detect -r 48000 good.wav", 2, "-t raw"},
        {"$RSID detect -t wav good.wav", 2, "-t takes only raw"},
        {"$RSID detect --channel left good.wav", 2, "--channel"},
        {"$RSID detect", 2, "no input"},
        {"$RSID detect --bogus good.wav", 2, "bogus"},
        {"$RSID", 2, ""},
        {"$RSID send -f 1500 -o -", 2, "-t TYPE"},
        {"$RSID send -f -5 -o x.wav", 2, "-f"},
        {"$RSID send -o x.mp9", 2, "unknown type"},
        {"$RSID send -o x.flac -e float", 2, "cannot hold"},
        {"$RSID send -r 2000 -o x.wav", 2, "need a rate"},
        {"$RSID send --volume 2 -o x.wav", 2, "--volume"},
        {"$RSID send -o no/such/dir/x.wav", 3, "no/such/dir/x.wav"},
        {"$RSID send -f 400 -o low.wav", 0, "outside the detector's range"},
    };
    for (const auto& c : cases) {
        const result r = sh(c.command);
        EXPECT_EQ(r.status, c.status) << c.command << "\nstderr: " << r.err;
        if (*c.message) {
            EXPECT_NE(r.err.find(c.message), std::string::npos)
                << c.command << "\nstderr: " << r.err;
        }
    }
    // The good file after the junk one is still reported, once, under its own name.
    const result mixed = sh("$RSID detect --json junk.wav good.wav");
    const auto recs = mixed.records();
    ASSERT_EQ(recs.size(), 3u) << mixed.out;
    EXPECT_EQ(recs[0].at("input"), "junk.wav");
    EXPECT_EQ(recs[0].at("status"), "error");
    EXPECT_FALSE(recs[0].at("error").get<std::string>().empty());
    EXPECT_EQ(recs[1].at("type"), "detection");
    EXPECT_EQ(recs[1].at("input"), "good.wav");
    EXPECT_EQ(recs[2].at("status"), "ok");
}

// Files in the test's folder other than the harness's own .out and .err.
std::vector<std::string> files_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name != ".out" && name != ".err")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A write that fails (the file size limit, which the tool meets with EFBIG rather than die of
// SIGXFSZ; a full device; stdout on a full device) is exit 3 with the system's reason, and
// leaves neither a short file that looks complete nor a temporary file; a file that was there
// before stays as it was.
TEST_F(cli, a_failed_send_leaves_nothing_that_looks_complete) {
    EXPECT_STATUS(sh("$RSID send -o keep.wav"), 0);
    const std::string kept = slurp(path("keep.wav"));
    const struct {
        const char* command;
        const char* message;
    } cases[] = {
        {"ulimit -f 100; $RSID send --lead 60 -o big.wav", "big.wav: cannot write"},
        {"ulimit -f 100; $RSID send --lead 60 -o keep.wav", "keep.wav: cannot write"},
        {"ulimit -f 100; $RSID send --lead 60 -r 44100 -b 24 -o big.w64",
         "big.w64: cannot write: File too large"},
        {"$RSID send -t wav -o /dev/full", "/dev/full: cannot write: No space left"},
        {"$RSID send -t flac -o - > /dev/full", "stdout: cannot write: No space left"},
        {"$RSID send -t raw -o - > /dev/full", "stdout: cannot write: No space left"},
    };
    for (const auto& c : cases) {
        const result r = sh(c.command);
        EXPECT_STATUS(r, 3) << c.command;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.command << "\n" << r.err;
        EXPECT_EQ(r.err.find("System error"), std::string::npos) << r.err;
        EXPECT_EQ(files_in(dir_), std::vector<std::string>{"keep.wav"}) << c.command;
        EXPECT_EQ(slurp(path("keep.wav")), kept) << c.command;
    }
}

// WAV and AU on stdout go out as they are made, behind a header whose lengths are left open
// (0xFFFFFFFF): a day of silence starts at once, and every encoding reads back.
TEST_F(cli, send_streams_wav_and_au_to_stdout) {
    const result head = sh("timeout 20 $RSID send -t wav --lead 86400 -o - | head -c 44 > h.wav");
    EXPECT_STATUS(head, 0);
    const std::string h = slurp(path("h.wav"));
    ASSERT_EQ(h.size(), 44u);
    EXPECT_EQ(h.substr(0, 4), "RIFF");
    EXPECT_EQ(h.substr(4, 4), std::string(4, '\xff')) << "RIFF length";
    EXPECT_EQ(h.substr(36, 8), "data" + std::string(4, '\xff')) << "data length";
    for (const char* args : {"-t wav", "-t wav -b 24", "-t wav -e float", "-t wav -e a-law",
                             "-t wav -b 8", "-t au", "-t au -e mu-law -r 8000", "-t au -b 32"}) {
        const std::string command =
            std::string("$RSID send -f 1200 --lead 0.5 ") + args + " -o - | $RSID detect --json -";
        const result r = sh(command);
        EXPECT_STATUS(r, 0) << command;
        const auto d = r.detections();
        ASSERT_EQ(d.size(), 1u) << command << "\n" << r.out;
        expect_detection(d[0], 0.5, 1200, command);
    }
}

// Past 4 GiB a WAV file is written as RF64 from its first byte, and AIFF is refused before
// anything is written. The run is stopped by SIGTERM as soon as the header is there, which
// also shows that a stopped send removes its unfinished file.
TEST_F(cli, send_past_4_gib_writes_rf64_or_refuses) {
    const result aiff = sh("$RSID send --lead 25000 -b 32 -o big.aiff");
    EXPECT_STATUS(aiff, 2);
    EXPECT_NE(aiff.err.find("do not fit aiff"), std::string::npos) << aiff.err;
    EXPECT_TRUE(files_in(dir_).empty());

    const pid_t pid = start("$RSID send --lead 25000 -b 32 -o big.wav");
    std::string magic;
    for (int i = 0; i < 200 && magic.size() < 4; ++i) { // up to 10 s
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const std::string& name : files_in(dir_)) {
            char first[4] = {};
            std::ifstream(path(name), std::ios::binary).read(first, 4);
            magic.assign(first, 4);
            magic.erase(magic.find_last_not_of('\0') + 1);
        }
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(magic, "RF64");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 143) << status;
    EXPECT_TRUE(files_in(dir_).empty());
}

// Diagnostics on a closed or full stderr are lost, never fatal; a reader that closes stdout
// early ends the tool quietly: detect with the status of what it found, send with 3.
TEST_F(cli, closed_streams_end_the_tool_quietly) {
    EXPECT_STATUS(sh("$RSID send --lead 0.5 --repeat 4 -o four.wav && "
                     "$RSID send --volume 0.000001 --lead 20 -o silent.wav"),
                  0);
    const struct {
        const char* command;
        int status;
    } cases[] = {
        {"$RSID detect missing.wav 2>&-", 3},
        {"$RSID detect missing.wav 2>/dev/full", 3},
        {"$RSID detect --json missing.wav four.wav 2>/dev/full", 3},
        {"$RSID send -f -5 -o x.wav 2>&-", 2},
        {"$RSID --bogus 2>/dev/full", 2},
        {"$RSID send -t raw -o x.wav 2>/dev/full && test -s x.wav", 0},
        {"{ $RSID detect four.wav; echo $? > status; } | head -1 > /dev/null; exit $(cat status)",
         0},
        {"{ $RSID detect --json -j 2 four.wav four.wav four.wav; echo $? > status; } | head -1 "
         "> /dev/null; exit $(cat status)",
         0},
        {"{ $RSID detect --json silent.wav silent.wav; echo $? > status; } | head -c 1 > "
         "/dev/null; exit $(cat status)",
         1},
        {"{ $RSID send -t wav --lead 3600 -o -; echo $? > status; } | head -c 44 > /dev/null; "
         "exit $(cat status)",
         3},
    };
    for (const auto& c : cases) {
        const result r = sh(c.command);
        EXPECT_STATUS(r, c.status) << c.command;
        EXPECT_TRUE(r.err.empty()) << c.command << "\n" << r.err;
    }
}

// Names and labels with control characters cannot forge or colour a text line; in JSON a name
// that is not UTF-8 comes with its exact bytes.
TEST_F(cli, names_are_escaped_in_text_and_exact_in_json) {
    EXPECT_STATUS(sh("$RSID send --lead 0.5 -o id.wav"), 0);
    const std::string newline = "a\nb.wav";
    const std::string escape = "\x1b[31mred.wav";
    const std::string latin1 = "caf\xe9.wav";
    for (const std::string& name : {newline, escape, latin1})
        fs::copy_file(path("id.wav"), path(name));
    const result text = sh("$RSID detect --label \"$(printf 'x\\ny\\tz')\" 'a\nb.wav' \"$(printf "
                           "'\\033[31mred.wav')\"");
    EXPECT_STATUS(text, 0);
    // The SNR and level columns vary with the build's maths; the names and labels do not.
    std::string without = text.out;
    for (std::size_t at; (at = without.find("  SNR ")) != std::string::npos;)
        without.erase(at, without.find(" dBFS", at) + 5 - at);
    EXPECT_EQ(without, "a\\nb.wav: 00:00:00.50  code 131  1500.0 Hz  x\\ny\\tz\n"
                       "\\x1b[31mred.wav: 00:00:00.50  code 131  1500.0 Hz  x\\ny\\tz\n");

    const result j = sh("$RSID detect --json \"$(printf 'caf\\351.wav')\" id.wav");
    EXPECT_STATUS(j, 0);
    const auto recs = j.records();
    ASSERT_EQ(recs.size(), 4u) << j.out;
    for (int i : {0, 1}) {
        EXPECT_EQ(recs[i].at("input"), "caf\xef\xbf\xbd.wav");
        EXPECT_EQ(recs[i].at("input_bytes"), "636166e92e776176");
    }
    EXPECT_FALSE(recs[2].contains("input_bytes")) << "a UTF-8 name needs no bytes";
}

// Messages a user meets first: version, usage, and short answers to impossible requests.
TEST_F(cli, messages_are_short_and_clear) {
    EXPECT_STATUS(sh("$RSID send -f 1000 -r 3000 --lead 0.5 -o low.wav && "
                     ": > empty.wav && head -c 9600 /dev/zero > zero.raw && "
                     "$RSID send -t raw -o - | dd conv=swab 2>/dev/null > swapped.raw && "
                     "$RSID send -t raw -o - > id.raw"),
                  0);
    EXPECT_STATUS(sh("$RSID send -t raw -o - > samples && "
                     "{ printf 'RIFF\\0\\0\\0\\0WAVEfmt \\020\\0\\0\\0\\001\\0\\001\\0\\200\\273"
                     "\\0\\0\\0\\167\\001\\0\\002\\0\\020\\0data\\0\\0\\0\\0'; cat samples; } > "
                     "zero-length.wav"),
                  0);
    const struct {
        const char* command;
        int status;
        const char* message; // on stderr, or on stdout for --version and --help
        bool on_stdout;
    } cases[] = {
        {"$RSID --version", 0, "rsid 0.", true},
        {"$RSID", 2, "Usage: rsid", false},
        {"$RSID", 2, "detect", false},
        {"$RSID send -e mu-law -b 16 -o x.wav", 2, "send: mu-law samples are 8-bit; leave out -b",
         false},
        {"$RSID send -f 1e308 -o x.wav", 2, "send: -f takes a frequency above 0 and below 23838.5",
         false},
        {"$RSID send -b 12 -o x.wav", 2, "no 12-bit signed samples (-b: 8, 16, 24 or 32)", false},
        {"$RSID send -t raw -o x.wav", 0, "writing raw samples into 'x.wav'", false},
        {"$RSID detect low.wav", 0, "only identifiers with tone 0 below 1339 Hz", false},
        {"$RSID detect -t raw -r 1000 -e signed -b 16 zero.raw", 3, "too low for any identifier",
         false},
        {"$RSID detect zero-length.wav", 0, "0 data bytes", false},
        {"$RSID detect -q zero-length.wav", 0, "", false},
        {"$RSID detect --help", 0, "No progress bar and no warnings", true},
        {"$RSID detect -t raw -r 48000 -e signed -b 16 --endian big swapped.raw", 0, "", false},
        {"$RSID detect -t raw -r 48000 -e signed -b 16 --endian little id.raw", 0, "", false},
        {"$RSID detect -t raw -r 48000 -e signed -b 16 swapped.raw", 1, "", false},
        {"$RSID detect -t raw -r 48000 -e signed -b 16 --endian middle id.raw", 2,
         "--endian takes little or big", false},
        {"$RSID detect --endian big id.raw", 2, "add -t raw", false},
    };
    for (const auto& c : cases) {
        const result r = sh(c.command);
        EXPECT_STATUS(r, c.status) << c.command;
        const std::string& where = c.on_stdout ? r.out : r.err;
        if (*c.message) {
            EXPECT_NE(where.find(c.message), std::string::npos) << c.command << "\n" << where;
        } else {
            EXPECT_TRUE(r.err.empty()) << c.command << "\n" << r.err;
        }
        EXPECT_LT(r.err.size(), 2000u) << c.command;
        if (!c.on_stdout && r.status == 2 && std::string(c.command) != "$RSID") {
            EXPECT_LT(r.err.size(), 160u) << c.command << "\n" << r.err;
        }
    }
}

} // namespace
