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

struct mqtt_publisher::state {
    mqtt_options o;
    mqtt_url u;
    std::vector<std::string> inputs;
    std::string model;
    std::string events_topic, status_topic, heartbeat_topic;
    mosquitto* mosq = nullptr;
    clock_type::time_point started = clock_type::now();

    std::mutex m;
    std::condition_variable cv;
    std::deque<std::string> queue; // detections not yet handed to libmosquitto, oldest first
    std::set<int> in_flight;       // message ids of detections handed over, not yet acknowledged
    std::set<int> control;         // ids of the last heartbeat and status, at the end
    int connack = -1;              // the broker's first answer; -1 until it comes
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

    std::vector<std::pair<std::string, std::string>> discovery() const {
        using ordered_json = nlohmann::ordered_json;
        const std::string node = node_id(u.base);
        ordered_json device;
        device["identifiers"] = ordered_json::array({node});
        device["name"] = "rsid " + u.base;
        device["manufacturer"] = "rsid";
        device["model"] = model;
        device["sw_version"] = RSID_VERSION;
        const auto common = [&](ordered_json& j, const std::string& name, const std::string& id) {
            j["name"] = name;
            j["unique_id"] = node + "_" + id;
            j["object_id"] = node + "_" + id;
            j["state_topic"] = events_topic;
            j["availability_topic"] = status_topic;
            j["payload_available"] = "online";
            j["payload_not_available"] = "offline";
            j["qos"] = 1;
            j["device"] = device;
        };
        ordered_json event;
        common(event, "Identifier", "detection");
        event["event_types"] = ordered_json::array({"detection"});
        // The event entity wants an event_type key: the record with its type under that name.
        event["value_template"] = "{{ dict(value_json, event_type=value_json.type) | to_json }}";
        event["icon"] = "mdi:radio-tower";
        ordered_json freq;
        common(freq, "Last frequency", "freq_hz");
        freq["value_template"] = "{{ value_json.freq_hz }}";
        freq["unit_of_measurement"] = "Hz";
        freq["device_class"] = "frequency";
        freq["state_class"] = "measurement";
        freq["json_attributes_topic"] = events_topic;
        const std::string prefix = o.ha_prefix + "/";
        return {{prefix + "event/" + node + "/detection/config", event.dump()},
                {prefix + "sensor/" + node + "/freq_hz/config", freq.dump()}};
    }

    // libmosquitto's loop thread.
    void on_connect(int rc) {
        if (rc == 0) {
            send(status_topic, "online", true);
            if (o.ha_discovery)
                for (const auto& [topic, payload] : discovery())
                    send(topic, payload, true);
        }
        std::string heartbeat;
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
            if (connected)
                heartbeat = heartbeat_json();
        }
        if (!heartbeat.empty())
            send(heartbeat_topic, heartbeat, true);
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

    // Hands the queue over batch by batch and sends heartbeats, until finish() says stop.
    void work() {
        std::unique_lock<std::mutex> lock(m);
        const auto interval = std::chrono::duration_cast<clock_type::duration>(
            std::chrono::duration<double>(o.heartbeat_s));
        while (!stopping) {
            if (connected && in_flight.empty()) {
                // Holding m while libmosquitto takes each record: an acknowledgement that
                // arrives before the id is recorded waits in on_publish instead of being lost.
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
            if (connected && clock_type::now() - last_heartbeat >= interval)
                send(heartbeat_topic, heartbeat_json(), true);
            cv.wait_until(lock, last_heartbeat + interval, [&] {
                return stopping || (connected && in_flight.empty() && !queue.empty());
            });
        }
    }
};

mqtt_publisher::mqtt_publisher(const mqtt_options& options, std::vector<std::string> inputs,
                               const std::string& model)
    : s_(std::make_unique<state>()) {
    state& s = *s_;
    s.o = options;
    s.u = parse_mqtt_url(options.url);
    s.inputs = std::move(inputs);
    s.model = model;
    s.events_topic = s.u.base + "/events";
    s.status_topic = s.u.base + "/status";
    s.heartbeat_topic = s.u.base + "/heartbeat";
    if (s.o.queue_limit == 0)
        throw usage_error("--mqtt-queue must be at least 1");
    if (!(s.o.heartbeat_s > 0))
        throw usage_error("the heartbeat interval must be positive");

    // The password: from the URL, else from the file, else from the environment; never two.
    if (!s.o.password_file.empty()) {
        if (!s.u.password.empty())
            throw usage_error("--mqtt: give the password in the URL or in a file, not both");
        s.u.password = read_password_file(s.o.password_file);
    } else if (s.u.password.empty()) {
        if (const char* env = std::getenv(mqtt_password_env))
            s.u.password = env;
    }
    if (!s.u.password.empty() && s.u.user.empty())
        throw usage_error("--mqtt: a password needs a user name in the URL (mqtt://user@host)");

    mosquitto_lib_init();
    // A clean session: what matters here is the tool's own outgoing messages, which libmosquitto
    // keeps and resends across reconnections whatever the broker remembers.
    const std::string id = fmt::format("rsid-{}-{}", host_name(), getpid()).substr(0, 64);
    s.mosq = mosquitto_new(id.c_str(), true, &s);
    if (!s.mosq)
        throw mqtt_error("MQTT: cannot create a client: " + std::string(std::strerror(errno)));
    if (!s.u.user.empty())
        mosquitto_username_pw_set(s.mosq, s.u.user.c_str(),
                                  s.u.password.empty() ? nullptr : s.u.password.c_str());
    mosquitto_will_set(s.mosq, s.status_topic.c_str(), 7, "offline", 1, true);
    if (s.u.tls) {
        int rc = MOSQ_ERR_SUCCESS;
        if (!s.o.cafile.empty())
            rc = mosquitto_tls_set(s.mosq, s.o.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
        else
            rc = mosquitto_int_option(s.mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (rc != MOSQ_ERR_SUCCESS)
            throw mqtt_error("MQTT: TLS setup failed: " + std::string(mosquitto_strerror(rc)) +
                             (s.o.cafile.empty() ? "" : " (--mqtt-cafile " + s.o.cafile + ")"));
    } else if (!s.o.cafile.empty()) {
        throw usage_error("--mqtt-cafile needs an mqtts:// URL");
    }
    mosquitto_reconnect_delay_set(s.mosq, backoff_min_s, backoff_max_s, true);
    mosquitto_log_callback_set(s.mosq, [](mosquitto*, void* obj, int level, const char* text) {
        if (level & MOSQ_LOG_ERR) {
            auto* st = static_cast<state*>(obj);
            const std::lock_guard<std::mutex> lock(st->m);
            st->last_error = text;
        }
    });
    mosquitto_connect_callback_set(
        s.mosq, [](mosquitto*, void* obj, int rc) { static_cast<state*>(obj)->on_connect(rc); });
    mosquitto_disconnect_callback_set(
        s.mosq, [](mosquitto*, void* obj, int rc) { static_cast<state*>(obj)->on_disconnect(rc); });
    mosquitto_publish_callback_set(
        s.mosq, [](mosquitto*, void* obj, int mid) { static_cast<state*>(obj)->on_publish(mid); });

    const auto fail = [&](const std::string& why) {
        mosquitto_disconnect(s.mosq);
        mosquitto_loop_stop(s.mosq, true);
        mosquitto_destroy(s.mosq);
        s.mosq = nullptr;
        mosquitto_lib_cleanup();
        throw mqtt_error(why);
    };
    int rc = mosquitto_connect(s.mosq, s.u.host.c_str(), s.u.port, keepalive_s);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::string why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
        if (rc == MOSQ_ERR_TLS)
            why = "TLS handshake failed" + (s.last_error.empty() ? "" : ": " + s.last_error);
        fail(fmt::format("MQTT: cannot connect to {}: {}", s.where(), why));
    }
    rc = mosquitto_loop_start(s.mosq);
    if (rc != MOSQ_ERR_SUCCESS)
        fail(fmt::format("MQTT: cannot start the network thread: {}", mosquitto_strerror(rc)));
    int connack = -1;
    {
        std::unique_lock<std::mutex> lock(s.m);
        s.cv.wait_for(lock, std::chrono::duration<double>(connack_wait_s),
                      [&] { return s.connack >= 0; });
        connack = s.connack;
    }
    if (connack < 0) {
        // A plain listener drops a TLS handshake without a word: say what to check.
        std::string hint;
        if (s.u.tls) {
            const std::lock_guard<std::mutex> lock(s.m);
            hint = "; no TLS session was set up" +
                   (s.last_error.empty() ? std::string() : " (" + s.last_error + ")") +
                   ": is the port a TLS listener? mqtt:// is for plain ones";
        }
        fail(fmt::format("MQTT: {} did not answer the connection within {:.0f} s{}", s.where(),
                         connack_wait_s, hint));
    }
    if (connack != 0)
        fail(fmt::format("MQTT: {} refused the connection: {}", s.where(),
                         mosquitto_connack_string(connack)));
    s.worker = std::thread([&s] { s.work(); });
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
        std::unique_lock<std::mutex> lock(s.m);
        for (const int mid : {s.send(s.heartbeat_topic, s.heartbeat_json(), true),
                              s.send(s.status_topic, "offline", true)})
            if (mid >= 0)
                s.control.insert(mid);
        s.cv.wait_for(lock, std::chrono::duration<double>(close_wait_s),
                      [&] { return s.control.empty() || !s.connected; });
    }
    mosquitto_disconnect(s.mosq);
    mosquitto_loop_stop(s.mosq, !connected);
    mosquitto_destroy(s.mosq);
    s.mosq = nullptr;
    mosquitto_lib_cleanup();
    if (undelivered > 0)
        fmt::print(stderr, "rsid: MQTT: {} detection{} not delivered to {}\n", undelivered,
                   undelivered == 1 ? " was" : "s were", s.where());
    return undelivered + static_cast<std::size_t>(s.dropped);
}

} // namespace rsid_tool
