// tool_input_fuzz.cpp - arbitrary bytes through the rsid tool's input path into the detector.
//
// The first byte says how the rest is taken: as a sound file (anything libsndfile reads) or as
// raw samples in a stated format, decoded from memory or from a real file, as `rsid detect`
// opens its inputs. The next bytes give the raw format and the channel choice, including
// formats and channels that must be refused. The decoded blocks go to rsid_check.
//
// Allowed outcomes: blocks of finite samples, or input_error. Any other exception, a crash or a
// sanitizer report is a finding.
#include "fuzz_support.h"
#include "input/audio_input.h"
#include "rsid.h"
#include "rsid_state.h"
#include "tool_formats.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <string>

namespace {

using fuzz::raw_format_from;

using fuzz::require;

using namespace rsid_tool;

// A file with the given contents, kept in memory (memfd) and opened by path like any other.
class memory_file {
  public:
    explicit memory_file(std::span<const unsigned char> bytes) : fd_(memfd_create("rsid-fuzz", 0)) {
        require(fd_ >= 0);
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            require(n > 0);
            done += static_cast<std::size_t>(n);
        }
    }
    ~memory_file() { close(fd_); }
    memory_file(const memory_file&) = delete;
    memory_file& operator=(const memory_file&) = delete;
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

  private:
    int fd_;
};

// Each block must be finite; the detector then takes it. Spectra are slow under the
// sanitizers, so only the first few blocks of a long input reach rsid_check.
struct block_sink {
    int blocks = 0;
    void operator()(const double* block) {
        for (std::size_t i = 0; i < detector_block; ++i)
            require(std::isfinite(block[i]));
        if (blocks++ < 8) {
            int r = rsid_check(block);
            require(r == 0 || r == 1);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    rsid_rx = rsid_receiver{}; // the detector as after load, so that an input replays alone
    init_rsid();

    const uint8_t mode = data[0];
    const raw_format raw = raw_format_from(data[1], data[2]);
    const channel_choice channel = data[3] % 4; // 0: mix; 1..3, past the channels for some
    const std::span<const unsigned char> bytes(data + 4, size - 4);
    const bool as_raw = mode & 1;
    const bool as_file = mode & 2;

    block_sink sink;
    try {
        if (!as_file) {
            std::size_t n =
                decode_memory(bytes, as_raw ? std::optional<raw_format>(raw) : std::nullopt,
                              channel, std::ref(sink));
            require(n == static_cast<std::size_t>(sink.blocks));
        } else {
            memory_file file(bytes);
            auto source = as_raw ? open_raw_file(file.path(), raw) : open_sound_file(file.path());
            detector_feed feed(*source, channel);
            std::array<double, detector_block> block{};
            while (feed.next(block))
                sink(block.data());
        }
    } catch (const input_error&) {
        // A refused input: the tool prints the message and goes on to the next input.
    }
    return 0;
}
