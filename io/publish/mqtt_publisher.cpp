// mqtt_publisher.cpp - the connection, the queue, status and heartbeat, and Home Assistant
// discovery (see mqtt_publisher.h for the threads and why records are handed over in batches).
#include "publish/mqtt_publisher.h"
#include "errors.h"

#include <fmt/core.h>
#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

namespace rsid_tool {

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int keepalive_s = 30;         // MQTT keep-alive: a silent broker is noticed within 45 s
constexpr unsigned backoff_min_s = 1;   // first reconnection delay; libmosquitto grows it
constexpr unsigned backoff_max_s = 30;  // quadratically up to this
constexpr std::size_t batch = 16;       // records handed to libmosquitto before a PUBACK is due
constexpr double connack_wait_s = 10.0; // how long the broker has to answer at the start
constexpr double close_wait_s = 2.0;    // for the last heartbeat and "offline" to be acknowledged

std::string percent_decode(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() &&
            std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

// The part of a URL between "//" and the first '/' after it: [user[:password]@]host[:port].
struct authority_span {
    std::size_t begin = std::string::npos;
    std::size_t end = std::string::npos;
};
authority_span find_authority(const std::string& url) {
    authority_span a;
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos)
        return a;
    a.begin = scheme + 3;
    a.end = std::min(url.find('/', a.begin), url.size());
    return a;
}

// A topic level made of what Home Assistant accepts in an object id.
std::string node_id(const std::string& base) {
    std::string id = base;
    for (char& c : id)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-')
            c = '_';
    return id;
}

std::string read_password_file(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        throw usage_error("--mqtt-password-file: cannot read " + path + ": " +
                          std::strerror(errno));
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace

mqtt_url parse_mqtt_url(const std::string& url) {
    mqtt_url u;
    const auto bad = [&](const std::string& why) {
        return usage_error("--mqtt: " + why + " (mqtt[s]://[user[:password]@]host[:port][/base])");
    };
    if (url.rfind("mqtt://", 0) == 0) {
        u.tls = false;
        u.port = 1883;
    } else if (url.rfind("mqtts://", 0) == 0) {
        u.tls = true;
        u.port = 8883;
    } else {
        throw bad("the URL must start with mqtt:// or mqtts://");
    }
    const authority_span a = find_authority(url);
    std::string authority = url.substr(a.begin, a.end - a.begin);
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        const std::string credentials = authority.substr(0, at);
        const std::size_t colon = credentials.find(':');
        u.user = percent_decode(credentials.substr(0, colon));
        if (colon != std::string::npos)
            u.password = percent_decode(credentials.substr(colon + 1));
        if (u.user.empty())
            throw bad("empty user name");
        authority = authority.substr(at + 1);
    }
    std::string port;
    if (!authority.empty() && authority.front() == '[') { // [IPv6 address]
        const std::size_t close = authority.find(']');
        if (close == std::string::npos)
            throw bad("unclosed [ in the host");
        u.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':')
                throw bad("unexpected text after ]");
            port = authority.substr(close + 2);
        }
    } else {
        const std::size_t colon = authority.rfind(':');
        u.host = authority.substr(0, colon);
        if (colon != std::string::npos)
            port = authority.substr(colon + 1);
    }
    if (u.host.empty())
        throw bad("no host");
    if (!port.empty() || authority.back() == ':') {
        if (port.empty() || port.size() > 5 ||
            !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
            throw bad("the port must be a number");
        u.port = std::stoi(port);
        if (u.port < 1 || u.port > 65535)
            throw bad("the port must be from 1 to 65535");
    }
    std::string base = a.end < url.size() ? url.substr(a.end + 1) : std::string();
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    if (base.find_first_of("+#") != std::string::npos)
        throw bad("the base topic may not hold the wildcards + or #");
    u.base = base.empty() ? "rsid/" + host_name() : base;
    return u;
}

void hide_mqtt_password(char* arg) {
    const std::string s(arg);
    const std::size_t url = std::min(s.find("mqtt://"), s.find("mqtts://"));
    if (url == std::string::npos)
        return;
    const authority_span a = find_authority(s.substr(url));
    const std::size_t begin = url + a.begin;
    const std::size_t end = url + a.end;
    const std::size_t at = s.rfind('@', end - 1);
    if (at == std::string::npos || at < begin)
        return;
    const std::size_t colon = s.find(':', begin);
    if (colon == std::string::npos || colon > at)
        return;
    std::memset(arg + colon + 1, '*', at - colon - 1);
}

namespace {

// Home Assistant discovery: what entities the station shows, and the retained configuration
// topic of each under the discovery prefix.
struct ha_names {
    std::string node;         // object id of the station: its base topic, made safe
    std::string events_topic; // where the detections go
    std::string status_topic; // online/offline
};

using ordered_json = nlohmann::ordered_json;

ordered_json ha_device(const std::string& base, const std::string& node, const std::string& model) {
    ordered_json device;
    device["identifiers"] = ordered_json::array({node});
    device["name"] = "rsid " + base;
    device["manufacturer"] = "rsid";
    device["model"] = model;
    device["sw_version"] = RSID_VERSION;
    return device;
}

// The fields every entity of the station shares: its name, ids, topics and device.
ordered_json ha_entity(const ha_names& n, const ordered_json& device, const std::string& name,
                       const std::string& id) {
    ordered_json j;
    j["name"] = name;
    j["unique_id"] = n.node + "_" + id;
    j["object_id"] = n.node + "_" + id;
    j["state_topic"] = n.events_topic;
    j["availability_topic"] = n.status_topic;
    j["payload_available"] = "online";
    j["payload_not_available"] = "offline";
    j["qos"] = 1;
    j["device"] = device;
    return j;
}

// A sensor showing one field of the last detection, with the record as its attributes.
ordered_json ha_sensor(const ha_names& n, const ordered_json& device, const std::string& name,
                       const std::string& field, const std::string& unit,
                       const std::string& device_class) {
    ordered_json j = ha_entity(n, device, name, field);
    j["value_template"] = "{{ value_json." + field + " }}";
    j["unit_of_measurement"] = unit;
    j["device_class"] = device_class;
    j["state_class"] = "measurement";
    j["json_attributes_topic"] = n.events_topic;
    return j;
}

// Topic and payload of each configuration: the detections as events, the last frequency and
// the last SNR as sensors.
std::vector<std::pair<std::string, std::string>>
ha_configs(const mqtt_url& u, const mqtt_options& o, const std::string& model) {
    const ha_names n{node_id(u.base), u.base + "/events", u.base + "/status"};
    const ordered_json device = ha_device(u.base, n.node, model);
    ordered_json event = ha_entity(n, device, "Identifier", "detection");
    event["event_types"] = ordered_json::array({"detection"});
    // The event entity wants an event_type key: the record with its type under that name.
    event["value_template"] = "{{ dict(value_json, event_type=value_json.type) | to_json }}";
    event["icon"] = "mdi:radio-tower";
    const ordered_json freq = ha_sensor(n, device, "Last frequency", "freq_hz", "Hz", "frequency");
    const ordered_json snr = ha_sensor(n, device, "Last SNR", "snr_db", "dB", "signal_strength");
    const std::string prefix = o.ha_prefix + "/";
    return {{prefix + "event/" + n.node + "/detection/config", event.dump()},
            {prefix + "sensor/" + n.node + "/freq_hz/config", freq.dump()},
            {prefix + "sensor/" + n.node + "/snr_db/config", snr.dump()}};
}

} // namespace

struct mqtt_publisher::state {
    mqtt_options o;
    mqtt_url u;
    std::vector<std::string> inputs;
    std::string model;
    std::string events_topic, status_topic, heartbeat_topic;
    bool removing = false; // --ha-discovery remove: clear the configurations, nothing else
    mosquitto* mosq = nullptr;
    clock_type::time_point started = clock_type::now();

    std::mutex m;
    std::condition_variable cv;
    std::deque<std::string> queue; // detections not yet handed to libmosquitto, oldest first
    std::set<int> in_flight;       // message ids of detections handed over, not yet acknowledged
    std::set<int> control; // ids of the last heartbeat and status, or of the cleared configs
    int connack = -1;      // the broker's first answer; -1 until it comes
    bool connected = false;
    bool lost = false; // the connection dropped: say so when it is back
    bool stopping = false;
    bool finished = false;
    int64_t detections = 0;
    int64_t dropped = 0;
    double audio_s = 0.0;
    double audio_at_heartbeat = 0.0;
    clock_type::time_point last_heartbeat = started;
    std::string last_error; // libmosquitto's last logged error (TLS details)
    std::thread worker;

    state(const mqtt_options& options, std::vector<std::string> names, std::string what)
        : o(options), u(parse_mqtt_url(options.url)), inputs(std::move(names)),
          model(std::move(what)), events_topic(u.base + "/events"),
          status_topic(u.base + "/status"), heartbeat_topic(u.base + "/heartbeat") {}

    std::string where() const {
        return fmt::format("{}://{}{}:{}", u.tls ? "mqtts" : "mqtt",
                           u.user.empty() ? "" : u.user + "@", u.host, u.port);
    }

    void notice(const std::string& text) const {
        if (!o.quiet)
            fmt::print(stderr, "rsid: MQTT: {}\n", text);
    }

    // Publishes QoS 1; returns the message id, or -1 if libmosquitto did not take the message.
    int send(const std::string& topic, const std::string& payload, bool retain) const {
        int mid = -1;
        const int rc = mosquitto_publish(
            mosq, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
        return rc == MOSQ_ERR_SUCCESS ? mid : -1;
    }

    // Called with m held.
    std::string heartbeat_json() {
        const auto now = clock_type::now();
        heartbeat_record h;
        h.utc = std::chrono::system_clock::now();
        h.inputs = inputs;
        h.uptime_s = std::chrono::duration<double>(now - started).count();
        h.detections = detections;
        h.audio_s = audio_s;
        const double wall = std::chrono::duration<double>(now - last_heartbeat).count();
        h.realtime_factor = wall > 0 ? (audio_s - audio_at_heartbeat) / wall : 0.0;
        h.queued = static_cast<int64_t>(queue.size() + in_flight.size());
        h.dropped = dropped;
        last_heartbeat = now;
        audio_at_heartbeat = audio_s;
        return json_line(h);
    }

    // The password: from the URL, else from the file, else from the environment; never two.
    void choose_password() {
        if (!o.password_file.empty()) {
            if (!u.password.empty())
                throw usage_error("--mqtt: give the password in the URL or in a file, not both");
            u.password = read_password_file(o.password_file);
        } else if (u.password.empty()) {
            if (const char* env = std::getenv(mqtt_password_env))
                u.password = env;
        }
        if (!u.password.empty() && u.user.empty())
            throw usage_error("--mqtt: a password needs a user name in the URL (mqtt://user@host)");
    }

    void set_tls() const {
        if (!u.tls) {
            if (!o.cafile.empty())
                throw usage_error("--mqtt-cafile needs an mqtts:// URL");
            return;
        }
        const int rc = !o.cafile.empty() ? mosquitto_tls_set(mosq, o.cafile.c_str(), nullptr,
                                                             nullptr, nullptr, nullptr)
                                         : mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (rc != MOSQ_ERR_SUCCESS)
            throw mqtt_error("MQTT: TLS setup failed: " + std::string(mosquitto_strerror(rc)) +
                             (o.cafile.empty() ? "" : " (--mqtt-cafile " + o.cafile + ")"));
    }

    // The client, its credentials, last will, TLS and callbacks, before it connects.
    void create_client() {
        mosquitto_lib_init();
        // A clean session: what matters here is the tool's own outgoing messages, which
        // libmosquitto keeps and resends across reconnections whatever the broker remembers.
        const std::string id = fmt::format("rsid-{}-{}", host_name(), getpid()).substr(0, 64);
        mosq = mosquitto_new(id.c_str(), true, this);
        if (!mosq)
            throw mqtt_error("MQTT: cannot create a client: " + std::string(std::strerror(errno)));
        if (!u.user.empty())
            mosquitto_username_pw_set(mosq, u.user.c_str(),
                                      u.password.empty() ? nullptr : u.password.c_str());
        if (!removing) // clearing the discovery says nothing about the station's state
            mosquitto_will_set(mosq, status_topic.c_str(), 7, "offline", 1, true);
        set_tls();
        mosquitto_reconnect_delay_set(mosq, backoff_min_s, backoff_max_s, true);
        mosquitto_log_callback_set(mosq, [](mosquitto*, void* obj, int level, const char* text) {
            if (level & MOSQ_LOG_ERR) {
                auto* st = static_cast<state*>(obj);
                const std::lock_guard<std::mutex> lock(st->m);
                st->last_error = text;
            }
        });
        mosquitto_connect_callback_set(
            mosq, [](mosquitto*, void* obj, int rc) { static_cast<state*>(obj)->on_connect(rc); });
        mosquitto_disconnect_callback_set(mosq, [](mosquitto*, void* obj, int rc) {
            static_cast<state*>(obj)->on_disconnect(rc);
        });
        mosquitto_publish_callback_set(mosq, [](mosquitto*, void* obj, int mid) {
            static_cast<state*>(obj)->on_publish(mid);
        });
    }

    // Undoes create_client and connect after a failure at the start.
    [[noreturn]] void fail(const std::string& why) {
        if (mosq) {
            mosquitto_disconnect(mosq);
            mosquitto_loop_stop(mosq, true);
            mosquitto_destroy(mosq);
            mosq = nullptr;
        }
        mosquitto_lib_cleanup();
        throw mqtt_error(why);
    }

    // The password, the client and the connection, as publishing and removing both start.
    void open() {
        choose_password();
        try {
            create_client();
        } catch (const mqtt_error& e) {
            fail(e.what());
        }
        connect();
    }

    // Connects, starts the network thread and waits for the broker's answer.
    void connect() {
        int rc = mosquitto_connect(mosq, u.host.c_str(), u.port, keepalive_s);
        if (rc != MOSQ_ERR_SUCCESS) {
            std::string why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
            if (rc == MOSQ_ERR_TLS)
                why = "TLS handshake failed" + (last_error.empty() ? "" : ": " + last_error);
            fail(fmt::format("MQTT: cannot connect to {}: {}", where(), why));
        }
        rc = mosquitto_loop_start(mosq);
        if (rc != MOSQ_ERR_SUCCESS)
            fail(fmt::format("MQTT: cannot start the network thread: {}", mosquitto_strerror(rc)));
        int answer = -1;
        std::string hint;
        {
            std::unique_lock<std::mutex> lock(m);
            cv.wait_for(lock, std::chrono::duration<double>(connack_wait_s),
                        [&] { return connack >= 0; });
            answer = connack;
            // A plain listener drops a TLS handshake without a word: say what to check.
            if (u.tls)
                hint = "; no TLS session was set up" +
                       (last_error.empty() ? std::string() : " (" + last_error + ")") +
                       ": is the port a TLS listener? mqtt:// is for plain ones";
        }
        if (answer < 0)
            fail(fmt::format("MQTT: {} did not answer the connection within {:.0f} s{}", where(),
                             connack_wait_s, hint));
        if (answer != 0)
            fail(fmt::format("MQTT: {} refused the connection: {}", where(),
                             mosquitto_connack_string(answer)));
    }

    // On every connection: the retained status, the discovery configurations and a heartbeat.
    void announce() {
        send(status_topic, "online", true);
        if (o.ha_discovery == "publish")
            for (const auto& [topic, payload] : ha_configs(u, o, model))
                send(topic, payload, true);
        std::string heartbeat;
        {
            const std::lock_guard<std::mutex> lock(m);
            heartbeat = heartbeat_json();
        }
        send(heartbeat_topic, heartbeat, true);
    }

    // --ha-discovery remove: an empty retained message on each configuration topic.
    void clear_discovery() {
        const std::lock_guard<std::mutex> lock(m);
        for (const auto& config : ha_configs(u, o, model))
            if (const int mid = send(config.first, "", true); mid >= 0)
                control.insert(mid);
    }

    // libmosquitto's loop thread.
    void on_connect(int rc) {
        if (rc == 0)
            removing ? clear_discovery() : announce();
        {
            const std::lock_guard<std::mutex> lock(m);
            if (connack < 0)
                connack = rc;
            connected = rc == 0;
            if (connected && lost) {
                lost = false;
                notice(fmt::format("reconnected to {}; {} detection{} to deliver", where(),
                                   queue.size() + in_flight.size(),
                                   queue.size() + in_flight.size() == 1 ? "" : "s"));
            }
        }
        cv.notify_all();
    }

    void on_disconnect(int rc) {
        const std::lock_guard<std::mutex> lock(m);
        const bool was = connected;
        connected = false;
        if (rc != 0 && was && !stopping) {
            lost = true;
            notice(fmt::format("lost the connection to {} ({}); retrying, detections are queued",
                               where(), mosquitto_strerror(rc)));
        }
        cv.notify_all();
    }

    void on_publish(int mid) {
        const std::lock_guard<std::mutex> lock(m);
        in_flight.erase(mid);
        control.erase(mid);
        cv.notify_all();
    }

    // Called with m held: hands libmosquitto the next batch of records. Holding m while it
    // takes each one: an acknowledgement that arrives before the id is recorded waits in
    // on_publish instead of being lost.
    void hand_over_batch() {
        while (!queue.empty() && in_flight.size() < batch) {
            const int mid = send(events_topic, queue.front(), false);
            if (mid < 0) { // refused by libmosquitto itself (memory): not retried
                ++dropped;
                fmt::print(stderr, "rsid: MQTT: could not queue {}\n", queue.front());
            } else {
                in_flight.insert(mid);
            }
            queue.pop_front();
        }
    }

    // Hands the queue over batch by batch and sends heartbeats, until finish() says stop.
    void work() {
        std::unique_lock<std::mutex> lock(m);
        const auto interval = std::chrono::duration_cast<clock_type::duration>(
            std::chrono::duration<double>(o.heartbeat_s));
        while (!stopping) {
            if (connected && in_flight.empty())
                hand_over_batch();
            if (connected && clock_type::now() - last_heartbeat >= interval)
                send(heartbeat_topic, heartbeat_json(), true);
            cv.wait_until(lock, last_heartbeat + interval, [&] {
                return stopping || (connected && in_flight.empty() && !queue.empty());
            });
        }
    }

    // Waits for the broker to acknowledge the control messages (or to go), for up to wait_s.
    bool control_acknowledged(double wait_s) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, std::chrono::duration<double>(wait_s),
                    [&] { return control.empty() || !connected; });
        return control.empty();
    }

    void disconnect(bool force) {
        mosquitto_disconnect(mosq);
        mosquitto_loop_stop(mosq, force);
        mosquitto_destroy(mosq);
        mosq = nullptr;
        mosquitto_lib_cleanup();
    }
};

mqtt_publisher::mqtt_publisher(const mqtt_options& options, std::vector<std::string> inputs,
                               const std::string& model)
    : s_(std::make_unique<state>(options, std::move(inputs), model)) {
    state& s = *s_;
    if (s.o.queue_limit == 0)
        throw usage_error("--mqtt-queue must be at least 1");
    if (!(s.o.heartbeat_s > 0))
        throw usage_error("the heartbeat interval must be positive");
    s.open();
    s.worker = std::thread([&s] { s.work(); });
}

void mqtt_publisher::remove_discovery(const mqtt_options& options, const std::string& model) {
    state s(options, {}, model);
    s.removing = true;
    s.open();
    const bool done = s.control_acknowledged(s.o.drain_s);
    s.disconnect(!done);
    if (!done)
        throw mqtt_error(fmt::format("MQTT: {} did not acknowledge the removal of the discovery "
                                     "configurations",
                                     s.where()));
    s.notice(fmt::format("removed the Home Assistant discovery configurations under {}/",
                         s.o.ha_prefix));
}

mqtt_publisher::~mqtt_publisher() {
    try {
        finish();
    } catch (...) {
    }
}

void mqtt_publisher::publish(const detection_record& record) {
    std::string line = json_line(record);
    state& s = *s_;
    {
        const std::lock_guard<std::mutex> lock(s.m);
        if (s.finished)
            return;
        ++s.detections;
        if (s.queue.size() >= s.o.queue_limit) {
            ++s.dropped;
            fmt::print(stderr,
                       "rsid: MQTT: queue full ({} detections): dropped the oldest, from {}\n",
                       s.o.queue_limit, s.queue.front());
            s.queue.pop_front();
        }
        s.queue.push_back(std::move(line));
    }
    s.cv.notify_all();
}

void mqtt_publisher::audio_read(double seconds) {
    const std::lock_guard<std::mutex> lock(s_->m);
    s_->audio_s += seconds;
}

std::size_t mqtt_publisher::finish() {
    state& s = *s_;
    std::size_t undelivered = 0;
    bool connected = false;
    {
        std::unique_lock<std::mutex> lock(s.m);
        if (s.finished || !s.mosq)
            return 0;
        s.finished = true; // publish() takes nothing more; the worker drains what is there
        s.cv.wait_for(lock, std::chrono::duration<double>(s.o.drain_s),
                      [&] { return s.queue.empty() && s.in_flight.empty(); });
        s.stopping = true;
        undelivered = s.queue.size() + s.in_flight.size();
        connected = s.connected;
    }
    s.cv.notify_all();
    if (s.worker.joinable())
        s.worker.join();
    if (connected) {
        {
            const std::lock_guard<std::mutex> lock(s.m);
            for (const int mid : {s.send(s.heartbeat_topic, s.heartbeat_json(), true),
                                  s.send(s.status_topic, "offline", true)})
                if (mid >= 0)
                    s.control.insert(mid);
        }
        s.control_acknowledged(close_wait_s);
    }
    s.disconnect(!connected);
    if (undelivered > 0)
        fmt::print(stderr, "rsid: MQTT: {} detection{} not delivered to {}\n", undelivered,
                   undelivered == 1 ? " was" : "s were", s.where());
    return undelivered + static_cast<std::size_t>(s.dropped);
}

} // namespace rsid_tool
