// rsid scan against hostile files and faults, as a user (or an attacker) runs it: centres no
// receiver has, planted links and read-only metadata, metadata of another recording, metadata
// built to exhaust the parser, file size limits while writing, names that are not UTF-8, and a
// FIFO without a writer. Each run is under `timeout`, so that a hang fails instead of waiting.
#include "pictures/waterfall.h"
#include "synth.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <complex>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr double rate = 96000.0;

// Three identifiers in light noise, as interleaved cu8 or cf32.
std::string band(const std::string& type) {
    std::vector<std::complex<double>> x(static_cast<std::size_t>(rate * 2.4));
    for (const double start : {0.1, 0.5, 0.9})
        synth::add_identifier_iq(x, rate, start, -20000.0 + 30000.0 * start, 0.3);
    synth::add_noise_iq(x, rate, 0.3, 15.0, 1);
    std::string out;
    for (const auto& v : x)
        for (const double c : {v.real(), v.imag()}) {
            if (type == "cu8") {
                out += static_cast<char>(std::clamp(std::lround(c * 128 + 127.5), 0L, 255L));
            } else {
                const auto f = static_cast<float>(c); // little-endian host
                out.append(reinterpret_cast<const char*>(&f), sizeof f);
            }
        }
    return out;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class hostile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "rsid-hostile-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    struct result {
        int status = -1;
        std::string out, err;
    };
    // Runs a shell command in the test's directory, $RSID naming the tool.
    result sh(const std::string& command) const {
        const std::string full = "cd '" + dir_.string() + "' && RSID='timeout -s KILL 60 " +
                                 RSID_TOOL + "' && (" + command + ") >.out 2>.err </dev/null";
        return collect(std::system(full.c_str()));
    }
    // The result of a run whose wait status is w and whose output went to .out and .err.
    result collect(int w) const {
        result r;
        r.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
        r.out = slurp(dir_ / ".out");
        r.err = slurp(dir_ / ".err");
        fs::remove(dir_ / ".out");
        fs::remove(dir_ / ".err");
        return r;
    }
    // Runs the tool itself (no shell, no timeout(1), which would keep the signal) in the test's
    // directory with `signal` already pending as it starts: blocked and sent before exec, as a
    // parent that blocks the stop signals passes them on. A run not over in 60 s is killed, and
    // its status is then -1.
    result run_signalled(const std::vector<std::string>& args, int signal) const {
        std::vector<char*> argv{const_cast<char*>(RSID_TOOL)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const std::string dir = dir_.string();
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, signal);
        const pid_t pid = fork();
        if (pid == 0) { // only async-signal-safe calls until exec
            if (chdir(dir.c_str()) != 0)
                _exit(126);
            const int out = open(".out", O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open(".err", O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int in = open("/dev/null", O_RDONLY);
            if (out < 0 || err < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
                dup2(err, 2) < 0 || sigprocmask(SIG_BLOCK, &stop, nullptr) != 0 ||
                kill(getpid(), signal) != 0)
                _exit(126);
            execv(RSID_TOOL, argv.data());
            _exit(127);
        }
        int w = 0;
        for (int waited = 0; waitpid(pid, &w, WNOHANG) == 0; ++waited) {
            if (waited == 6000) { // 60 s in steps of 10 ms
                kill(pid, SIGKILL);
                waitpid(pid, &w, 0);
                break;
            }
            usleep(10000);
        }
        return collect(w);
    }
    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
    }
    // The directory's entries: a temporary file left behind shows here.
    std::set<std::string> entries() const {
        std::set<std::string> s;
        for (const auto& e : fs::directory_iterator(dir_))
            s.insert(e.path().filename().string());
        return s;
    }
    fs::path dir_;
};

json meta_of(const std::string& datatype, const std::string& dataset, double frequency) {
    json global = {
        {"core:datatype", datatype}, {"core:sample_rate", rate}, {"core:version", "1.0.0"}};
    if (!dataset.empty())
        global["core:dataset"] = dataset;
    return {{"global", global},
            {"captures", json::array({{{"core:sample_start", 0}, {"core:frequency", frequency}}})},
            {"annotations", json::array()}};
}

// Centres beyond any receiver are refused before they reach the picture's axes, whose step
// vanished (and its loop never ended) at 1e21 Hz.
TEST_F(hostile, refuses_unphysical_centres) {
    write("f.cu8", band("cu8"));
    write("huge.sigmf-data", band("cu8"));
    write("huge.sigmf-meta", meta_of("cu8", "", 1e21).dump());
    const struct {
        const char* command;
        int status;
        const char* message;
    } cases[] = {
        {"$RSID scan -t cu8 -r 96000 --center 1e21 --plot p.png f.cu8", 2, "1e12"},
        {"$RSID scan -t cu8 -r 96000 --center -1e300 --plot p.png f.cu8", 2, "1e12"},
        {"$RSID scan -v -t cu8 -r 96000 --center 1e308 f.cu8", 2, "1e12"},
        {"$RSID scan --plot p.png huge.sigmf-meta", 3, "core:frequency"},
        {"$RSID scan -v -t cu8 -r 96000 --center -1e12 --plot p.png f.cu8", 0, "Hz"},
    };
    for (const auto& c : cases) {
        const result r = sh(c.command);
        EXPECT_EQ(r.status, c.status) << c.command << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.command << "\n" << r.err;
        // Frequencies print in a few digits, not hundreds.
        EXPECT_LT(r.err.find_first_of("0123456789") == std::string::npos ? 0 : r.err.size(), 400u)
            << c.command << "\n"
            << r.err;
    }
    EXPECT_TRUE(fs::exists(dir_ / "p.png"));

    // The picture's axes end whatever the band: one that the rounding of its ends swallows.
    rsid_tool::waterfall w(100, 1e21, 5.0, rate);
    const std::vector<float> row(100, 1.0f);
    w.add(row.data(), 1000.0);
    w.write_png((dir_ / "axes.png").string(), "far");
    EXPECT_TRUE(fs::exists(dir_ / "axes.png"));
}

// `rsid send` replaces its file the same way: a link stays a link, the mode stays, a read-only
// file is refused and kept, and a failure leaves the old file whole.
TEST_F(hostile, send_replaces_its_file_safely) {
    const struct {
        const char* name;
        const char* setup;  // after a first `rsid send -o out.wav`
        const char* before; // in the shell of the second send
        int status;
        const char* mode; // of the file behind out.wav afterwards
    } cases[] = {
        {"mode kept", "chmod 640 out.wav", "", 0, "640"},
        {"link kept", "mkdir store && mv out.wav store/ && ln -s store/out.wav out.wav", "", 0,
         "644"},
        {"read-only", "chmod 444 out.wav", "", 3, "444"},
        {"file size limit", "true", "trap '' XFSZ; ulimit -f 8;", 3, "644"},
    };
    for (const auto& c : cases) {
        fs::remove_all(dir_);
        fs::create_directory(dir_);
        ASSERT_EQ(
            sh(std::string("umask 022; $RSID send --code 1 -o out.wav && cp out.wav before && ") +
               c.setup)
                .status,
            0)
            << c.name;
        const std::set<std::string> before = entries();
        const result r = sh(std::string(c.before) + " umask 022; $RSID send -o out.wav");
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        struct stat st {};
        ASSERT_EQ(stat((dir_ / "out.wav").c_str(), &st), 0) << c.name;
        char mode[8];
        std::snprintf(mode, sizeof mode, "%o", st.st_mode & 0777);
        EXPECT_STREQ(mode, c.mode) << c.name;
        EXPECT_EQ(fs::is_symlink(dir_ / "out.wav"), fs::exists(dir_ / "store")) << c.name;
        EXPECT_EQ(slurp(dir_ / "out.wav") == slurp(dir_ / "before"), c.status != 0) << c.name;
        EXPECT_EQ(entries(), before) << c.name << ": files made or removed";
    }
}

// Metadata is replaced through a fresh temporary file: never through a planted link, never
// over a read-only file, keeping its mode and its link, and leaving nothing on failure.
TEST_F(hostile, annotations_replace_metadata_safely) {
    const std::string scan = "$RSID scan -t cu8 -r 96000 --sigmf-annotations x.cu8";
    const struct {
        const char* name;
        const char* setup;   // shell commands before the scan
        const char* command; // with the scan as $SCAN
        int status;
        const char* message;
        const char* meta_mode; // mode of the file behind x.sigmf-meta afterwards, or ""
    } cases[] = {
        {"planted link", "echo victim >victim.txt && ln -s victim.txt x.sigmf-meta.tmp", "$SCAN", 0,
         "", "644"},
        {"read-only", "$SCAN && chmod 444 x.sigmf-meta && cp x.sigmf-meta before", "$SCAN", 3,
         "read-only", "444"},
        {"mode kept", "$SCAN && chmod 640 x.sigmf-meta", "$SCAN", 0, "", "640"},
        {"link kept",
         "mkdir store && $SCAN && mv x.sigmf-meta store/ && "
         "ln -s store/x.sigmf-meta x.sigmf-meta",
         "$SCAN", 0, "", "644"},
        {"file size limit",
         R"(echo '{"global": {"core:datatype": "cu8", "core:dataset": "x.cu8"}}' >x.sigmf-meta)"
         " && cp x.sigmf-meta before",
         "trap '' XFSZ; ulimit -f 1; $SCAN", 3, "File too large", "644"},
    };
    for (const auto& c : cases) {
        fs::remove_all(dir_);
        fs::create_directory(dir_);
        write("x.cu8", band("cu8"));
        auto expand = [&](std::string s) {
            for (std::size_t at; (at = s.find("$SCAN")) != std::string::npos;)
                s.replace(at, 5, scan);
            return "umask 022; " + s;
        };
        const result setup = sh(expand(c.setup));
        ASSERT_EQ(setup.status, 0) << c.name << "\n" << setup.err;
        std::set<std::string> before = entries();
        before.insert("x.sigmf-meta");
        const result r = sh(expand(c.command));
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << "\n" << r.err;
        EXPECT_EQ(entries(), before) << c.name << ": files made or removed";
        struct stat st {};
        ASSERT_EQ(stat((dir_ / "x.sigmf-meta").c_str(), &st), 0) << c.name;
        char mode[8];
        std::snprintf(mode, sizeof mode, "%o", st.st_mode & 0777);
        EXPECT_STREQ(mode, c.meta_mode) << c.name;
        if (fs::exists(dir_ / "victim.txt")) {
            EXPECT_EQ(slurp(dir_ / "victim.txt"), "victim\n") << c.name;
        }
        if (fs::exists(dir_ / "store")) {
            EXPECT_TRUE(fs::is_symlink(dir_ / "x.sigmf-meta")) << c.name;
        }
        if (fs::exists(dir_ / "before")) {
            EXPECT_EQ(slurp(dir_ / "x.sigmf-meta"), slurp(dir_ / "before")) << c.name;
        } else {
            EXPECT_EQ(json::parse(slurp(dir_ / "x.sigmf-meta")).at("annotations").size(), 3u)
                << c.name;
        }
    }
}

// Annotations go only into metadata that describes the scanned samples, and never remove what
// is there; metadata built to exhaust the parser, or to make the tool read another file, is
// refused before it is used.
TEST_F(hostile, metadata_of_other_recordings_and_hostile_metadata) {
    write("cap.cu8", band("cu8"));
    write("cap.sigmf-data", band("cf32"));
    json cap = meta_of("cf32_le", "", 14e6);
    for (int i = 0; i < 3; ++i)
        cap["annotations"].push_back({{"core:sample_start", 1000 * i},
                                      {"core:sample_count", 10},
                                      {"core:label", "code 131"},
                                      {"core:generator", "rsid scan"}});
    write("cap.sigmf-meta", cap.dump());
    write("typed.cu8", band("cu8"));
    write("typed.sigmf-meta", meta_of("cf32_le", "typed.cu8", 0.0).dump());
    std::string deep(100000, '[');
    deep += std::string(100000, ']');
    write("deep.sigmf-meta", R"({"global": {"x": )" + deep + "}}");
    write("deep.cu8", band("cu8"));
    write("large.sigmf-meta", meta_of("cu8", "", 0.0).dump() + std::string(5 << 20, ' '));
    write("passwd.sigmf-meta", meta_of("cu8", "/etc/passwd", 0.0).dump());
    write("up.sigmf-meta", meta_of("cu8", "../x.cu8", 0.0).dump());
    ASSERT_EQ(mkfifo((dir_ / "fifo.sigmf-meta").c_str(), 0600), 0); // no writer ever comes
    const struct {
        const char* command;
        int status;
        const char* message;
        const char* unchanged; // a file the run must leave as it was
    } cases[] = {
        {"$RSID scan --sigmf-annotations -t cu8 -r 96000 cap.cu8", 3, "describes cap.sigmf-data",
         "cap.sigmf-meta"},
        {"$RSID scan --sigmf-annotations -t cu8 -r 96000 typed.cu8", 3, "core:datatype",
         "typed.sigmf-meta"},
        {"$RSID scan deep.sigmf-meta", 3, "nested deeper", "deep.sigmf-meta"},
        {"$RSID scan --sigmf-annotations -t cu8 -r 96000 deep.cu8", 3, "nested deeper",
         "deep.sigmf-meta"},
        {"$RSID scan large.sigmf-meta", 3, "4 MiB", "large.sigmf-meta"},
        {"$RSID scan passwd.sigmf-meta", 3, "beside the metadata", "passwd.sigmf-meta"},
        {"$RSID scan up.sigmf-meta", 3, "beside the metadata", "up.sigmf-meta"},
        {"$RSID scan fifo.sigmf-meta", 3, "must be a regular file", "cap.sigmf-meta"},
    };
    for (const auto& c : cases) {
        const std::string before = slurp(dir_ / c.unchanged);
        const result r = sh(c.command);
        EXPECT_EQ(r.status, c.status) << c.command << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.command << "\n" << r.err;
        EXPECT_EQ(slurp(dir_ / c.unchanged), before) << c.command;
    }

    // The recording's own scan keeps the three earlier annotations beside its new ones.
    ASSERT_EQ(sh("$RSID scan --sigmf-annotations cap.sigmf-meta").status, 0);
    EXPECT_EQ(json::parse(slurp(dir_ / "cap.sigmf-meta")).at("annotations").size(), 6u);

    // Wide and fairly deep metadata is annotated without growing by its indentation.
    json wide = meta_of("cu8", "wide.cu8", 0.0);
    json nest = json::array();
    for (int i = 0; i < 60000; ++i)
        nest.push_back(i);
    for (int level = 0; level < 20; ++level)
        nest = json::array({nest});
    wide["global"]["x:extension"] = nest;
    write("wide.sigmf-meta", wide.dump());
    write("wide.cu8", band("cu8"));
    const std::size_t size = fs::file_size(dir_ / "wide.sigmf-meta");
    ASSERT_EQ(sh("$RSID scan -t cu8 -r 96000 --sigmf-annotations wide.cu8").status, 0);
    EXPECT_LT(fs::file_size(dir_ / "wide.sigmf-meta"), size + 4096);
}

// A failed picture leaves the one that was there, no temporary file, and a message that says
// why; a name that SigMF cannot hold is refused, not altered.
TEST_F(hostile, pictures_names_and_interruptions) {
    write("f.cu8", band("cu8"));
    ASSERT_EQ(sh("$RSID scan -t cu8 -r 96000 --plot p.png f.cu8").status, 0);
    const std::string png = slurp(dir_ / "p.png");
    std::set<std::string> before = entries();
    result r = sh("trap '' XFSZ; ulimit -f 4; $RSID scan -t cu8 -r 96000 --plot p.png f.cu8");
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("p.png: File too large"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(dir_ / "p.png"), png);
    EXPECT_EQ(entries(), before);

    r = sh("$RSID scan -t cu8 -r 96000 --plot no/such/dir/p.png f.cu8");
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;

    write("r\xff.cu8", band("cu8"));
    before = entries();
    r = sh("$RSID scan -t cu8 -r 96000 --sigmf-annotations 'r\xff.cu8'");
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("not UTF-8"), std::string::npos) << r.err;
    EXPECT_EQ(entries(), before);

    // A FIFO that no writer opens, interrupted: the input was cut by the signal, not broken.
    // The signal waits until the tool (timeout's child, once it is rsid) catches SIGINT, bit 1
    // of SigCgt in /proc: a fixed sleep can end before it has installed its handler on a loaded
    // machine, and SIGINT would then kill it. One request may arrive twice: timeout(1) passes
    // a signal on to its child and then to its process group, and so do other supervisors.
    struct interruption {
        const char* send; // $pid is timeout, $c the tool
        int status;
    };
    for (const interruption& i :
         {interruption{"kill -INT $pid", 130}, interruption{"kill -TERM $c; kill -TERM $c", 143}}) {
        fs::remove(dir_ / "fifo");
        r = sh(std::string("mkfifo fifo && { $RSID scan --json -t cu8 -r 96000 fifo & pid=$!; "
                           "i=0; until c=$(cat /proc/$pid/task/$pid/children 2>/dev/null) && "
                           "c=${c% } && [ \"$(cat /proc/$c/comm 2>/dev/null)\" = rsid ] && "
                           "[ $((0x$(sed -n 's/^SigCgt:[[:space:]]*//p' /proc/$c/status) & 2)) "
                           "-ne 0 ] || [ $i -ge 500 ]; do sleep 0.01; i=$((i + 1)); done; "
                           "sleep 0.2; ") +
               i.send + "; wait $pid; }");
        EXPECT_EQ(r.status, i.status) << i.send << r.err;
        EXPECT_EQ(r.err, "") << i.send;
        ASSERT_FALSE(r.out.empty()) << i.send;
        EXPECT_EQ(json::parse(r.out).at("status"), "interrupted") << r.out;
    }
}

// A stop that comes before the tool opens its FIFO, at the earliest: pending as it starts, so
// that it is taken the moment the handler is in place. Opening the FIFO must not then wait for
// a writer (or reader) that never comes, where no signal is left to end the wait: a scan ends
// with its end record, send and merge without a word.
TEST_F(hostile, a_stop_before_the_fifo_is_opened) {
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    const struct {
        std::vector<std::string> args;
        int signal;
        bool record; // an end record that says "interrupted"
    } cases[] = {
        {{"scan", "--json", "-t", "cu8", "-r", "96000", "fifo"}, SIGINT, true},
        {{"scan", "--json", "-t", "cu8", "-r", "96000", "fifo"}, SIGTERM, true},
        {{"detect", "--json", "fifo"}, SIGINT, true},
        {{"send", "-t", "raw", "-o", "fifo"}, SIGINT, false},
        {{"merge", "fifo"}, SIGINT, false},
    };
    for (const auto& c : cases) {
        const result r = run_signalled(c.args, c.signal);
        EXPECT_EQ(r.status, 128 + c.signal) << c.args[0] << " " << c.signal << "\n" << r.err;
        EXPECT_EQ(r.err, "") << c.args[0];
        if (!c.record) {
            EXPECT_EQ(r.out, "") << c.args[0];
            continue;
        }
        ASSERT_FALSE(r.out.empty()) << c.args[0] << " " << c.signal;
        EXPECT_EQ(json::parse(r.out).at("status"), "interrupted") << r.out;
    }
}

} // namespace
