// `rsid detect --mqtt` against a real broker: each test starts its own mosquitto on a free port
// of 127.0.0.1 with a configuration file of its own, and checks what arrives with a libmosquitto
// subscriber. The oracle for every event is the tool's own --json output: the same lines, in
// the same order, each once.
#include "json_schema.h"

#include <gtest/gtest.h>
#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <pwd.h>
#include <regex>
#include <set>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> lines_of(const std::string& text, const std::string& containing = "") {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find(containing) != std::string::npos)
            out.push_back(line);
    return out;
}

// Polls until done() or the timeout; returns done().
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return done();
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

bool accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// A child process running `sh -c command` in dir, stdout and stderr to files; stdin is a pipe
// the test writes to, or /dev/null.
class child {
  public:
    child(const fs::path& dir, const std::string& command, bool with_stdin, const std::string& tag)
        : out_(dir / (tag + ".out")), err_(dir / (tag + ".err")) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        int in[2] = {-1, -1};
        if (with_stdin) {
            EXPECT_EQ(pipe2(in, O_CLOEXEC), 0); // no other child may hold the write end
            posix_spawn_file_actions_adddup2(&fa, in[0], 0);
            posix_spawn_file_actions_addclose(&fa, in[0]);
            posix_spawn_file_actions_addclose(&fa, in[1]);
        } else {
            posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        }
        posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const std::string full = "cd '" + dir.string() + "' && exec " + command;
        const char* argv[] = {"sh", "-c", full.c_str(), nullptr};
        EXPECT_EQ(posix_spawn(&pid_, "/bin/sh", &fa, nullptr, const_cast<char**>(argv), environ),
                  0);
        posix_spawn_file_actions_destroy(&fa);
        if (with_stdin) {
            close(in[0]);
            stdin_ = in[1];
        }
    }
    ~child() {
        close_stdin();
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    child(const child&) = delete;
    child& operator=(const child&) = delete;

    void write_stdin(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(stdin_, bytes.data() + done, bytes.size() - done);
            ASSERT_GT(n, 0);
            done += static_cast<std::size_t>(n);
        }
    }
    void close_stdin() {
        if (stdin_ >= 0)
            close(stdin_);
        stdin_ = -1;
    }
    // Exit status, or -1 after a timeout or a signal.
    int wait(std::chrono::milliseconds timeout = 30s) {
        int status = 0;
        const bool exited =
            eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
        if (!exited)
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void kill9() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }
    std::string out() const { return slurp(out_); }
    std::string err() const { return slurp(err_); }

  private:
    fs::path out_, err_;
    pid_t pid_ = -1;
    int stdin_ = -1;
};

// mosquitto on a free port of 127.0.0.1, with its own configuration file and persistence
// directory, restartable on the same port.
class broker {
  public:
    broker(const fs::path& dir, const std::string& extra_config) : dir_(dir), port_(free_port()) {
        std::ofstream(dir / "broker.conf") << "listener " << port_ << " 127.0.0.1\n"
                                           << "persistence_location " << dir.string()
                                           << "/\n"
                                           // as root it would switch to the user "mosquitto",
                                           // who cannot read the test's private directory
                                           << "user " << getpwuid(getuid())->pw_name << "\n"
                                           << extra_config;
        start();
    }
    ~broker() { stop(); }
    broker(const broker&) = delete;
    broker& operator=(const broker&) = delete;

    void start() {
        proc_ =
            std::make_unique<child>(dir_, "'" MOSQUITTO_BROKER "' -c broker.conf", false, "broker");
        ASSERT_TRUE(eventually([&] { return accepts(port_); }, 5s)) << proc_->err();
    }
    // SIGTERM: the broker saves its persistent state and closes every connection.
    void stop() {
        if (!proc_)
            return;
        kill(proc_->pid(), SIGTERM);
        proc_->wait(5s);
        proc_.reset();
    }
    int port() const { return port_; }
    std::string url(const std::string& rest = "") const {
        return "mqtt://" + rest + "127.0.0.1:" + std::to_string(port_);
    }

  private:
    fs::path dir_;
    int port_;
    std::unique_ptr<child> proc_;
};

struct message {
    std::string topic;
    std::string payload;
    bool retain = false;
};

// Subscribes to everything (QoS 1) and keeps what arrives. With a persistent session (clean
// false) the broker keeps its messages while it is away, across a broker restart too.
class subscriber {
  public:
    explicit subscriber(int port, const std::string& id = "", bool clean = true) {
        static const int init = mosquitto_lib_init();
        (void)init;
        mosq_ = mosquitto_new(id.empty() ? nullptr : id.c_str(), clean, this);
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void*, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, "#", 1);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            auto* s = static_cast<subscriber*>(self);
            const std::lock_guard<std::mutex> lock(s->m_);
            s->subscribed_ = true;
        });
        mosquitto_message_callback_set(
            mosq_, [](mosquitto*, void* self, const mosquitto_message* msg) {
                auto* s = static_cast<subscriber*>(self);
                const std::lock_guard<std::mutex> lock(s->m_);
                s->got_.push_back({msg->topic,
                                   std::string(static_cast<const char*>(msg->payload),
                                               static_cast<std::size_t>(msg->payloadlen)),
                                   msg->retain});
            });
        EXPECT_EQ(mosquitto_connect(mosq_, "127.0.0.1", port, 30), MOSQ_ERR_SUCCESS);
        mosquitto_loop_start(mosq_);
        EXPECT_TRUE(eventually([&] {
            const std::lock_guard<std::mutex> lock(m_);
            return subscribed_;
        }));
    }
    ~subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    subscriber(const subscriber&) = delete;
    subscriber& operator=(const subscriber&) = delete;

    std::vector<message> on(const std::string& topic) const {
        const std::lock_guard<std::mutex> lock(m_);
        std::vector<message> out;
        for (const message& msg : got_)
            if (msg.topic == topic)
                out.push_back(msg);
        return out;
    }
    std::vector<std::string> payloads(const std::string& topic) const {
        std::vector<std::string> out;
        for (const message& msg : on(topic))
            out.push_back(msg.payload);
        return out;
    }
    std::vector<message> all() const {
        const std::lock_guard<std::mutex> lock(m_);
        return got_;
    }

  private:
    mosquitto* mosq_ = nullptr;
    mutable std::mutex m_;
    std::vector<message> got_;
    bool subscribed_ = false;
};

std::string host_name() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

class mqtt : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "rsid-mqtt-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the tool to its end with stdin from /dev/null.
    std::unique_ptr<child> run(const std::string& args, const std::string& env = "") {
        auto c = std::make_unique<child>(
            dir_, (env.empty() ? "" : "env " + env) + " '" RSID_TOOL "' " + args, false,
            "run" + std::to_string(runs_++));
        return c;
    }
    // Any other command, to its end.
    std::unique_ptr<child> shell(const std::string& command) {
        return std::make_unique<child>(dir_, command, false, "sh" + std::to_string(runs_++));
    }
    std::unique_ptr<child> live(const std::string& args) {
        return std::make_unique<child>(dir_, "'" RSID_TOOL "' " + args, true,
                                       "live" + std::to_string(runs_++));
    }
    void send(const std::string& args) {
        auto c = run("send " + args);
        ASSERT_EQ(c->wait(), 0) << c->err();
    }

    fs::path dir_;
    int runs_ = 0;
};

const json& schema() {
    static const json s = json::parse(slurp(RSID_SCHEMA));
    return s;
}

void expect_heartbeat(const std::string& payload) {
    const json h = json::parse(payload);
    const json ref = {{"$ref", "#/$defs/heartbeat"}};
    EXPECT_EQ(schema_check::validate(h, ref, schema()), "") << payload;
}

// Events are the --json detection lines exactly, under the URL's base or rsid/<hostname>; the
// status is retained "online" while running and "offline" after; heartbeats are valid records
// that count the detections and the audio; -q leaves stdout empty.
TEST_F(mqtt, publishes_every_detection_with_status_and_heartbeat) {
    send("-f 1200 --lead 0.3 --repeat 3 --gap 1 -o id.wav");
    broker b(dir_, "allow_anonymous true\n");
    const struct {
        std::string base_arg;
        std::string base;
        bool quiet;
    } cases[] = {
        {"/station/7", "station/7", false},
        {"/x/", "x", false},
        {"", "rsid/" + host_name(), true},
    };
    for (const auto& c : cases) {
        subscriber sub(b.port());
        auto tool = run("detect --json --label 'site 4' " + std::string(c.quiet ? "-q " : "") +
                        "--mqtt " + b.url() + c.base_arg + " id.wav");
        ASSERT_EQ(tool->wait(), 0) << tool->err();
        const std::string out = tool->out();
        // What --json prints without --mqtt: the oracle for the payloads, which also carry the
        // time the samples were read.
        auto plain = run("detect --json --label 'site 4' id.wav");
        ASSERT_EQ(plain->wait(), 0);
        const auto want = lines_of(plain->out(), "\"detection\"");
        ASSERT_EQ(want.size(), 3u);
        EXPECT_TRUE(eventually([&] { return sub.on(c.base + "/status").size() >= 2; })) << c.base;
        const auto events = sub.payloads(c.base + "/events");
        ASSERT_EQ(events.size(), 3u) << c.base;
        for (std::size_t i = 0; i < events.size(); ++i) {
            json e = json::parse(events[i]);
            EXPECT_EQ(e.at("clock"), "arrival") << events[i];
            EXPECT_TRUE(e.at("utc").is_string()) << events[i];
            e.erase("utc");
            e.erase("clock");
            EXPECT_EQ(e, json::parse(want[i])) << c.base;
        }
        // stdout prints the records the broker gets; -q leaves it empty.
        EXPECT_EQ(lines_of(out, "\"detection\""), c.quiet ? std::vector<std::string>() : events)
            << c.base;
        EXPECT_EQ(lines_of(out, "\"end\"").size(), c.quiet ? 0u : 1u) << c.base;
        const auto status = sub.payloads(c.base + "/status");
        ASSERT_FALSE(status.empty());
        EXPECT_EQ(status.front(), "online") << c.base;
        EXPECT_EQ(status.back(), "offline") << c.base;
        const auto beats = sub.payloads(c.base + "/heartbeat");
        ASSERT_FALSE(beats.empty()) << c.base;
        for (const std::string& beat : beats)
            expect_heartbeat(beat);
        const json last = json::parse(beats.back());
        EXPECT_EQ(last.at("detections"), 3);
        EXPECT_EQ(last.at("inputs"), json::array({"id.wav"}));
        EXPECT_NEAR(last.at("audio_s").get<double>(), 0.3 + 3 * 1.3925 + 2 * 1.0, 0.05);

        // A subscriber that comes later is told the station's last state by the broker.
        subscriber late(b.port());
        EXPECT_TRUE(eventually([&] { return !late.on(c.base + "/heartbeat").empty(); }));
        const auto retained = late.on(c.base + "/status");
        ASSERT_EQ(retained.size(), 1u);
        EXPECT_TRUE(retained[0].retain);
        EXPECT_EQ(retained[0].payload, "offline");
        EXPECT_TRUE(late.on(c.base + "/events").empty()) << "events are not retained";
    }
}

// A live station: retained "online", heartbeats every interval that show a stalled stream
// (real-time factor 0), and the last will "offline" when the tool is killed.
// rsid scan publishes its reports the same way: the payload is its --json line.
TEST_F(mqtt, band_scans_publish_too) {
    send("-f 15000 -r 48000 --lead 0.4 --tail 0.5 -o wide.wav");
    broker b(dir_, "allow_anonymous true\n");
    subscriber sub(b.port());
    auto tool = run("scan --json -q --mqtt " + b.url() + "/band wide.wav");
    ASSERT_EQ(tool->wait(), 0) << tool->err();
    EXPECT_EQ(tool->out(), "");
    auto plain = run("scan --json --start 2024-05-01T12:00:00Z wide.wav");
    ASSERT_EQ(plain->wait(), 0) << plain->err();
    const auto want = lines_of(plain->out(), "\"detection\"");
    ASSERT_EQ(want.size(), 1u) << plain->out();
    EXPECT_TRUE(eventually([&] { return sub.on("band/events").size() == 1; }));
    // Every event carries a time: when the samples were read, unless the input is dated.
    json e = json::parse(sub.payloads("band/events").at(0));
    EXPECT_EQ(e.at("clock"), "arrival");
    json w = json::parse(want[0]);
    EXPECT_EQ(w.at("clock"), "start-option");
    for (json* j : {&e, &w}) {
        j->erase("utc");
        j->erase("clock");
    }
    EXPECT_EQ(e, w);
}

TEST_F(mqtt, last_will_reports_a_killed_station) {
    broker b(dir_, "allow_anonymous true\n");
    subscriber sub(b.port());
    auto tool = live("detect -t raw -r 6000 -e signed -b 16 --mqtt " + b.url() +
                     "/live --mqtt-heartbeat 0.2 -");
    ASSERT_TRUE(eventually([&] { return sub.on("live/heartbeat").size() >= 3; })) << tool->err();
    {
        subscriber late(b.port());
        ASSERT_TRUE(eventually([&] { return !late.on("live/status").empty(); }));
        EXPECT_TRUE(late.on("live/status")[0].retain);
        EXPECT_EQ(late.on("live/status")[0].payload, "online");
    }
    double uptime = -1.0;
    for (const std::string& beat : sub.payloads("live/heartbeat")) {
        expect_heartbeat(beat);
        const json h = json::parse(beat);
        EXPECT_GT(h.at("uptime_s").get<double>(), uptime);
        uptime = h.at("uptime_s").get<double>();
        EXPECT_EQ(h.at("realtime_factor"), 0.0) << "nothing was read";
        EXPECT_EQ(h.at("inputs"), json::array({"stdin"}));
    }
    tool->kill9();
    ASSERT_TRUE(eventually([&] { return sub.payloads("live/status").back() == "offline"; }));
    subscriber late(b.port());
    ASSERT_TRUE(eventually([&] { return !late.on("live/status").empty(); }));
    EXPECT_TRUE(late.on("live/status")[0].retain);
    EXPECT_EQ(late.on("live/status")[0].payload, "offline");
}

// A broker with a password file: the password from a file, the environment or the URL is
// accepted; a wrong or missing one, and a broker that is not there, end the run with status 3
// and a message that never shows the password.
TEST_F(mqtt, authenticates_and_refuses_with_a_clear_error) {
    send("--lead 0.2 -o id.wav");
    auto passwd = shell("mosquitto_passwd -b -c passwords station 's3cret:@x'");
    ASSERT_EQ(passwd->wait(), 0) << passwd->err();
    std::ofstream(dir_ / "good") << "s3cret:@x\n";
    std::ofstream(dir_ / "bad") << "guess\n";
    broker b(dir_, "allow_anonymous false\npassword_file " + (dir_ / "passwords").string() + "\n");
    const std::string dead = "mqtt://station@127.0.0.1:" + std::to_string(free_port());
    const struct {
        std::string env;
        std::string url;
        std::string args;
        int status;
        std::string message;
    } cases[] = {
        {"", b.url("station@"), "--mqtt-password-file good", 0, ""},
        {"RSID_MQTT_PASSWORD='s3cret:@x'", b.url("station@"), "", 0, ""},
        {"", b.url("station:s3cret%3A%40x@"), "", 0, ""},
        {"", b.url("station@"), "--mqtt-password-file bad", 3, "refused the connection"},
        {"RSID_MQTT_PASSWORD=guess", b.url("station@"), "", 3, "not authori"},
        {"", b.url(), "", 3, "refused the connection"},
        {"", dead, "--mqtt-password-file good", 3, "cannot connect"},
        // TLS to a plain listener: dropped without an answer, so the message says what to check.
        {"", "mqtts" + b.url().substr(4), "", 3, "is the port a TLS listener?"},
        {"", b.url("station:x@"), "--mqtt-password-file good", 2, "not both"},
        {"", "http://127.0.0.1", "", 2, "mqtt://"},
    };
    for (const auto& c : cases) {
        const std::string what = c.env + " " + c.url + " " + c.args;
        auto tool = run("detect --json --mqtt '" + c.url + "' " + c.args + " id.wav", c.env);
        EXPECT_EQ(tool->wait(), c.status) << what << "\n" << tool->err();
        EXPECT_NE(tool->err().find(c.message), std::string::npos) << what << "\n" << tool->err();
        EXPECT_EQ(tool->err().find("s3cret"), std::string::npos) << what << "\n" << tool->err();
        if (c.status == 3) {
            EXPECT_EQ(tool->out(), "") << "nothing is scanned when the broker refuses";
        }
    }

    // A password given in the URL is gone from the command line once the tool runs.
    auto tool = live("detect -t raw -r 6000 -e signed -b 16 --mqtt " +
                     b.url("station:s3cret%3A%40x@") + "/ps -");
    std::string cmdline;
    ASSERT_TRUE(eventually([&] {
        cmdline = slurp("/proc/" + std::to_string(tool->pid()) + "/cmdline");
        return cmdline.find("station:") != std::string::npos &&
               cmdline.find("s3cret") == std::string::npos;
    })) << cmdline;
    tool->close_stdin();
    EXPECT_EQ(tool->wait(), 1);
}

// The broker is stopped in the middle of a live raw stream and started again: the detections
// heard meanwhile are queued and delivered after the reconnection, in order and once each. With
// a queue of 2 the oldest of the four queued are dropped, with a warning each, and the run
// ends with status 3.
TEST_F(mqtt, broker_restart_mid_stream_loses_and_repeats_nothing) {
    constexpr int ids = 9;
    constexpr double lead = 0.5, gap = 1.5, period = 1.3925 + gap;
    send("-f 1000 -r 6000 -t raw -e signed -b 16 --lead 0.5 --gap 1.5 --tail 1 --repeat 9 "
         "-o id.raw");
    const std::string audio = slurp(dir_ / "id.raw");
    // Bytes up to the start of identifier k: everything before it can be recognised.
    const auto upto = [&](int k) {
        const auto frames = static_cast<std::size_t>((lead + k * period) * 6000);
        return std::min(audio.size(), 2 * frames);
    };
    const struct {
        std::size_t queue;
        std::vector<int> delivered; // identifiers, in order
        int status;
        std::size_t dropped;
    } cases[] = {
        {10000, {0, 1, 2, 3, 4, 5, 6, 7, 8}, 0, 0},
        {2, {0, 1, 2, 5, 6, 7, 8}, 3, 2},
    };
    for (const auto& c : cases) {
        const std::string where = "queue " + std::to_string(c.queue);
        broker b(dir_, "allow_anonymous true\npersistence true\n");
        subscriber sub(b.port(), "checker", false);
        auto tool = live("detect --json -t raw -r 6000 -e signed -b 16 --mqtt " + b.url() +
                         "/s --mqtt-queue " + std::to_string(c.queue) + " -");
        const auto detections = [&] { return lines_of(tool->out(), "\"detection\""); };

        tool->write_stdin(audio.substr(0, upto(3)));
        ASSERT_TRUE(eventually([&] { return sub.on("s/events").size() == 3; })) << where << "\n"
                                                                                << tool->err();
        // Let the acknowledgements of those three settle on both sides: a record the broker
        // took but had not acknowledged when it went down is sent again, as QoS 1 allows.
        std::this_thread::sleep_for(500ms);
        b.stop();
        ASSERT_TRUE(eventually([&] { return tool->err().find("lost") != std::string::npos; }))
            << where;
        tool->write_stdin(audio.substr(upto(3), upto(7) - upto(3)));
        ASSERT_TRUE(eventually([&] { return detections().size() == 7; })) << where;
        b.start();
        ASSERT_TRUE(eventually([&] {
            return tool->err().find("reconnected") != std::string::npos;
        })) << where
            << "\n"
            << tool->err();
        tool->write_stdin(audio.substr(upto(7)));
        tool->close_stdin();
        EXPECT_EQ(tool->wait(), c.status) << where << "\n" << tool->err();

        const auto all = detections();
        ASSERT_EQ(all.size(), static_cast<std::size_t>(ids)) << where << "\n" << tool->out();
        std::vector<std::string> want;
        for (const int k : c.delivered)
            want.push_back(all[static_cast<std::size_t>(k)]);
        EXPECT_TRUE(eventually([&] { return sub.on("s/events").size() >= want.size(); })) << where;
        std::this_thread::sleep_for(300ms); // anything repeated would come now
        EXPECT_EQ(sub.payloads("s/events"), want) << where;
        EXPECT_EQ(lines_of(tool->err(), "dropped the oldest").size(), c.dropped) << where << "\n"
                                                                                 << tool->err();
    }
}

// Home Assistant MQTT discovery: one event entity and one sensor, each with only the fields
// Home Assistant documents for its platform, of the documented types, tied to the topics the
// tool really uses; the templates are rendered on a real event with Jinja (as Home Assistant
// does) when python3-jinja2 is installed.
TEST_F(mqtt, home_assistant_discovery_follows_the_documented_fields) {
    send("-f 1700 --lead 0.3 -o id.wav");
    broker b(dir_, "allow_anonymous true\n");
    subscriber sub(b.port());
    auto tool = run("detect --json --ha-discovery --mqtt " + b.url() + "/ham id.wav");
    ASSERT_EQ(tool->wait(), 0) << tool->err();
    ASSERT_TRUE(eventually([&] { return sub.on("ham/events").size() == 1; }));

    // The configuration keys of the MQTT event and sensor platforms, and their JSON types.
    const std::map<std::string, json::value_t> common = {
        {"availability_topic", json::value_t::string},
        {"payload_available", json::value_t::string},
        {"payload_not_available", json::value_t::string},
        {"device", json::value_t::object},
        {"device_class", json::value_t::string},
        {"enabled_by_default", json::value_t::boolean},
        {"entity_category", json::value_t::string},
        {"icon", json::value_t::string},
        {"json_attributes_template", json::value_t::string},
        {"json_attributes_topic", json::value_t::string},
        {"name", json::value_t::string},
        {"object_id", json::value_t::string},
        {"qos", json::value_t::number_unsigned},
        {"state_topic", json::value_t::string},
        {"unique_id", json::value_t::string},
        {"value_template", json::value_t::string},
    };
    const std::map<std::string, std::map<std::string, json::value_t>> own = {
        {"event", {{"event_types", json::value_t::array}}},
        {"sensor",
         {{"unit_of_measurement", json::value_t::string},
          {"state_class", json::value_t::string},
          {"expire_after", json::value_t::number_unsigned},
          {"force_update", json::value_t::boolean}}},
    };
    const std::set<std::string> device_keys = {
        "identifiers", "connections", "manufacturer",   "model",      "name",
        "sw_version",  "hw_version",  "suggested_area", "via_device", "configuration_url"};
    const std::regex topic_form("^homeassistant/(event|sensor)/([A-Za-z0-9_-]+)/([A-Za-z0-9_-]+)"
                                "/config$");
    std::map<std::string, json> configs;
    for (const message& msg : sub.all()) {
        std::smatch m;
        if (!std::regex_match(msg.topic, m, topic_form))
            continue;
        const json j = json::parse(msg.payload);
        const std::string component = m[1];
        for (const auto& [key, value] : j.items()) {
            auto t = common.find(key);
            if (t == common.end())
                t = own.at(component).find(key);
            ASSERT_TRUE(t != common.end() && t != own.at(component).end())
                << msg.topic << ": " << key << " is not a documented field";
            EXPECT_EQ(value.type() == json::value_t::number_integer ? json::value_t::number_unsigned
                                                                    : value.type(),
                      t->second)
                << msg.topic << ": " << key;
        }
        EXPECT_EQ(j.at("state_topic"), "ham/events") << msg.topic;
        EXPECT_EQ(j.at("availability_topic"), "ham/status") << msg.topic;
        EXPECT_EQ(j.at("payload_available"), "online");
        EXPECT_EQ(j.at("payload_not_available"), "offline");
        EXPECT_EQ(j.at("qos"), 1);
        for (const auto& [key, value] : j.at("device").items())
            EXPECT_TRUE(device_keys.count(key)) << msg.topic << ": device." << key;
        EXPECT_FALSE(j.at("device").at("identifiers").empty());
        configs[m[3]] = j;
    }
    ASSERT_EQ(configs.size(), 3u) << "one event and two sensors";
    EXPECT_EQ(configs["detection"].at("event_types"), json::array({"detection"}));
    const struct {
        const char* id;
        const char* device_class;
        const char* unit;
    } sensors[] = {{"freq_hz", "frequency", "Hz"}, {"snr_db", "signal_strength", "dB"}};
    for (const auto& s : sensors) {
        EXPECT_EQ(configs[s.id].at("device_class"), s.device_class);
        EXPECT_EQ(configs[s.id].at("unit_of_measurement"), s.unit);
        EXPECT_NE(configs["detection"].at("unique_id"), configs[s.id].at("unique_id"));
        EXPECT_EQ(configs["detection"].at("device"), configs[s.id].at("device"));
    }

    {
        subscriber late(b.port()); // the configurations are retained, for a restarted HA
        ASSERT_TRUE(eventually([&] { return late.all().size() >= 5; }));
        int retained = 0;
        for (const message& msg : late.all())
            retained += std::regex_match(msg.topic, topic_form) && msg.retain;
        EXPECT_EQ(retained, 3);
    }

    // Render the templates as Home Assistant would, on the event that arrived.
    const std::string event = sub.payloads("ham/events")[0];
    std::ofstream(dir_ / "event.json") << event;
    std::ofstream(dir_ / "configs.json") << json(configs).dump();
    auto render = shell("python3 '" RSID_HA_TEMPLATES "' configs.json event.json");
    const int status = render->wait();
    if (status == 77)
        GTEST_SKIP() << "python3-jinja2 is not installed: templates not rendered";
    EXPECT_EQ(status, 0) << render->out() << render->err();
}

// --ha-discovery remove clears exactly the configurations a station published, under its base
// and prefix (an empty retained message each), says nothing about the station's status, scans
// nothing, and leaves other stations' configurations alone.
TEST_F(mqtt, home_assistant_discovery_is_removed_on_request) {
    send("-f 1700 --lead 0.3 -o id.wav");
    broker b(dir_, "allow_anonymous true\n");
    const std::regex config("^ha/(event|sensor)/([A-Za-z0-9_-]+)/([A-Za-z0-9_-]+)/config$");
    const auto retained_configs = [&] {
        subscriber late(b.port());
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // retained ones come first
        std::map<std::string, int> per_node;
        for (const message& msg : late.all())
            if (std::smatch m; msg.retain && std::regex_match(msg.topic, m, config))
                ++per_node[m[2]];
        return per_node;
    };
    for (const char* base : {"/one", "/two"}) {
        auto tool =
            run("detect -q --ha-discovery --ha-prefix ha --mqtt " + b.url() + base + " id.wav");
        ASSERT_EQ(tool->wait(), 0) << tool->err();
    }
    EXPECT_EQ(retained_configs(), (std::map<std::string, int>{{"one", 3}, {"two", 3}}));

    subscriber sub(b.port());
    const struct {
        std::string args;
        int status;
        std::map<std::string, int> left;
    } cases[] = {
        {"detect --ha-discovery remove --ha-prefix ha --mqtt " + b.url() + "/one", 0, {{"two", 3}}},
        {"scan --ha-prefix ha --mqtt " + b.url() + "/two --ha-discovery remove", 0, {}},
        {"detect --ha-discovery remove --mqtt mqtt://127.0.0.1:1", 3, {}},
    };
    for (const auto& c : cases) {
        auto tool = run(c.args);
        EXPECT_EQ(tool->wait(), c.status) << c.args << "\n" << tool->err();
        EXPECT_EQ(tool->out(), "") << c.args;
        EXPECT_EQ(retained_configs(), c.left) << c.args;
    }
    int cleared = 0;
    for (const message& msg : sub.all()) {
        // What the earlier runs left retained came when sub subscribed; the rest is the removal.
        EXPECT_FALSE(!msg.retain && msg.topic.size() > 7 &&
                     msg.topic.substr(msg.topic.size() - 7) == "/status")
            << "removing says nothing about the station: " << msg.topic;
        cleared += std::regex_match(msg.topic, config) && msg.payload.empty();
    }
    EXPECT_EQ(cleared, 6);
}

} // namespace
