// mqtt_publisher.h - publishing a command's records to an MQTT broker (--mqtt): the one wrapper
// of libmosquitto. Any command that emits detection records hands each one to publish(); the
// rest happens on threads of its own, so that a scan never waits for the broker:
//
//   publish()       appends the record (its --json line) to a bounded queue; when the queue is
//                   full the oldest record is dropped, with a warning;
//   worker thread   hands the queue to libmosquitto in batches of up to 16, QoS 1, and hands the
//                   next batch only when the broker has acknowledged the last one (PUBACK), so
//                   that a batch caught by a lost connection is resent by libmosquitto alone,
//                   before anything newer: records arrive in order and are never published twice
//                   by the tool; it also publishes the retained heartbeat;
//   loop thread     libmosquitto's network loop: reconnects with backoff (1 s growing to 30 s)
//                   and, on every connection, publishes the retained status "online" (the last
//                   will says "offline") and the Home Assistant discovery configurations (an
//                   event entity for the detections, sensors for the last frequency and SNR).
//
// Topics under the base (default rsid/<hostname>): events (detections), status, heartbeat.
#ifndef RSID_TOOL_MQTT_PUBLISHER_H
#define RSID_TOOL_MQTT_PUBLISHER_H

#include "records/report.h"

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace rsid_tool {

// The --mqtt options, shared by every command that publishes.
struct mqtt_options {
    std::string url;           // mqtt[s]://[user[:password]@]host[:port][/base]; empty: off
    std::string password_file; // first line is the password
    std::string cafile;        // PEM file of CAs for mqtts://; default: the system's store
    std::string ha_discovery;  // Home Assistant discovery: "publish", "remove" (clear), or off
    std::string ha_prefix = "homeassistant"; // Home Assistant's discovery prefix
    std::size_t queue_limit = 10000;         // records held while the broker is away
    double heartbeat_s = 60.0;               // between retained heartbeats [s]
    double drain_s = 10.0; // at the end, how long to wait for the broker to take the queue [s]
    bool quiet = false;    // no notices about the connection (losses are always reported)
};

// Environment variable read for the password when neither the URL nor a file gives one.
inline constexpr const char* mqtt_password_env = "RSID_MQTT_PASSWORD";

// A broker that cannot be reached or refuses the connection at the start (exit status 3).
struct mqtt_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A URL taken apart. Throws usage_error (errors.h) for a malformed one.
struct mqtt_url {
    bool tls = false;
    std::string user;
    std::string password;
    std::string host;
    int port = 1883;
    std::string base; // topic prefix, without a trailing slash
};
mqtt_url parse_mqtt_url(const std::string& url);

// Overwrites the password of an mqtt[s]:// URL in a command-line argument (or "--mqtt=URL")
// with '*', so that `ps` does not show it once the options are parsed.
void hide_mqtt_password(char* arg);

class mqtt_publisher {
  public:
    // Connects and waits for the broker's answer. Throws usage_error for bad options and
    // mqtt_error when the broker cannot be reached or refuses (wrong password, TLS failure).
    // inputs are named in the heartbeat; model names the command ("rsid detect").
    mqtt_publisher(const mqtt_options& options, std::vector<std::string> inputs,
                   const std::string& model);
    ~mqtt_publisher();
    mqtt_publisher(const mqtt_publisher&) = delete;
    mqtt_publisher& operator=(const mqtt_publisher&) = delete;

    // Queues one detection for <base>/events, as json_line(record). Never blocks on the broker.
    // Safe to call from several threads.
    void publish(const detection_record& record);

    // Stream statistics for the heartbeat: seconds of audio read since the last call.
    void audio_read(double seconds);

    // Waits up to drain_s for the broker to acknowledge everything queued, publishes a last
    // heartbeat and the status "offline", and disconnects. Returns the number of detections
    // that never reached the broker (dropped from a full queue or still queued), each reported
    // on stderr. Called by the destructor if not before.
    std::size_t finish();

    // --ha-discovery remove: connects, replaces each discovery configuration this publisher
    // would publish with an empty retained message (which makes the broker forget it and Home
    // Assistant drop the entity), waits for the broker to acknowledge them and disconnects,
    // without a status or heartbeat. Throws as the constructor does, and mqtt_error when the
    // broker does not acknowledge every one.
    static void remove_discovery(const mqtt_options& options, const std::string& model);

  private:
    struct state;
    std::unique_ptr<state> s_;
};

} // namespace rsid_tool

#endif
