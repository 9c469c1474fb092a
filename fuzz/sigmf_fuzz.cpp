// sigmf_fuzz.cpp - arbitrary bytes as SigMF metadata, read as `rsid scan` reads a recording and
// annotated as `--sigmf-annotations` writes into it, in a directory of its own.
//
// The first byte says what the annotations claim to describe (the recording's own samples, a
// raw file beside it, or one whose name is not UTF-8, and their type), how many there are, and
// whether there is metadata yet; the rest is the .sigmf-meta. A
// recording that is read must name samples beside its metadata and a centre within range.
// Annotating either refuses (output_error) or leaves JSON that parses, holds the new
// annotations, stays within a few times its size, and leaves no temporary file behind.
//
// Allowed outcomes: a recording or input_error; annotations or output_error (or input_error for
// what cannot be read). Any other exception, a crash or a sanitizer report is a finding.
#include "errors.h"
#include "fuzz_support.h"
#include "input/sigmf.h"
#include "scanner.h" // engine/: max_center_hz

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using fuzz::require;

namespace fs = std::filesystem;
using namespace rsid_tool;

// A directory of its own for each input, removed after it: libFuzzer may end without exit().
struct scratch {
    fs::path dir;
    scratch() {
        std::string tmpl = (fs::temp_directory_path() / "rsid-sigmf-fuzz-XXXXXX").string();
        require(mkdtemp(tmpl.data()) != nullptr);
        dir = tmpl;
    }
    ~scratch() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    scratch(const scratch&) = delete;
    scratch& operator=(const scratch&) = delete;
};

std::size_t entries(const fs::path& dir) {
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        (void)e;
        ++n;
    }
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const scratch work;
    const fs::path& dir = work.dir;
    const std::string meta = (dir / "rec.sigmf-meta").string();
    const bool fresh = data[0] & 0x80; // no metadata yet: annotating creates it
    if (!fresh) {
        std::ofstream out(meta, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    std::ofstream(dir / "rec.sigmf-data", std::ios::binary) << std::string(64, '\x7f');
    const std::size_t files = fresh ? 1 : 2;
    require(entries(dir) == files);

    try {
        const sigmf_recording r = read_sigmf(meta);
        require(fs::path(r.data).parent_path() == dir);
        require(!r.frequency || std::abs(*r.frequency) <= rsid::max_center_hz);
    } catch (const input_error&) {
    }

    sigmf_dataset dataset;
    dataset.file = data[0] & 0x40 ? "r\xff.cu8" : data[0] & 1 ? "rec.sigmf-data" : "rec.cu8";
    dataset.type = static_cast<iq_type>(data[0] >> 1 & 3);
    dataset.rate = 48000.0;
    std::vector<sigmf_annotation> annotations(data[0] >> 3 & 7);
    for (std::size_t i = 0; i < annotations.size(); ++i) {
        annotations[i].sample_start = static_cast<int64_t>(1000 * i);
        annotations[i].sample_count = 8355;
        annotations[i].freq_lower_edge = 1500.0 + 100.0 * static_cast<double>(i);
        annotations[i].freq_upper_edge = annotations[i].freq_lower_edge + 161.5;
        annotations[i].label = "code 131";
    }
    try {
        write_sigmf_annotations(meta, dataset, annotations);
        std::ifstream in(meta, std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
        // Numbers may print longer than written (1e9), indentation at most doubles.
        require(text.size() <= 8 * (size + 512 * annotations.size()) + (128 << 10));
        const auto j = nlohmann::json::parse(text, nullptr, false);
        require(!j.is_discarded() && j.at("annotations").size() >= annotations.size());
        require(entries(dir) == 2);
    } catch (const output_error&) {
        require(entries(dir) == files); // refused: nothing made, no temporary file left
    } catch (const input_error&) {
        require(entries(dir) == files);
    }
    return 0;
}
