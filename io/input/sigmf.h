// sigmf.h - SigMF recordings: reading a recording's metadata, and writing reports into it as
// annotations. The metadata is JSON (a .sigmf-meta beside its .sigmf-data); what is read is
// core:datatype, core:sample_rate and the first capture's core:frequency and core:datetime.
#ifndef RSID_TOOL_SIGMF_H
#define RSID_TOOL_SIGMF_H

#include "input/iq_input.h"
#include "input/start_time.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rsid_tool {

// True for a path ending in .sigmf-meta or .sigmf-data.
bool is_sigmf(const std::string& path);

struct sigmf_recording {
    std::string meta; // path of the .sigmf-meta
    std::string data; // path of the samples (.sigmf-data, or core:dataset)
    iq_type type = iq_type::cf32;
    double rate = 0.0;               // core:sample_rate [frames/s]
    std::optional<double> frequency; // the first capture's core:frequency [Hz]
    std::optional<start_time> start; // the first capture's core:datetime, when it starts at 0
};

// Reads the metadata of the recording that path names (either file of the pair). Throws
// input_error for missing or malformed metadata and for sample types the scanner does not take.
sigmf_recording read_sigmf(const std::string& path);

// The metadata file annotations of an input go to: the recording's own .sigmf-meta, or for a
// raw file x.cu8 (or x) the file x.sigmf-meta beside it.
std::string sigmf_meta_for(const std::string& input);

struct sigmf_annotation {
    int64_t sample_start = 0;
    int64_t sample_count = 0;
    double freq_lower_edge = 0.0; // [Hz]
    double freq_upper_edge = 0.0; // [Hz]
    std::string label;
    std::string comment;
};

// What a new metadata file says about the samples it describes.
struct sigmf_dataset {
    std::string file; // core:dataset: the samples' file name, beside the metadata
    iq_type type = iq_type::cf32;
    double rate = 0.0;
    double frequency = 0.0;
};

// The generator name on every annotation written here; earlier annotations of this generator
// are replaced, all others are kept.
inline constexpr const char* sigmf_generator = "rsid scan";

// Adds the annotations to the metadata file `meta`, keeping every other field, or creates it
// from `dataset` when it does not exist. Annotations stay sorted by core:sample_start. The file
// is replaced atomically. Throws output_error when it cannot be read as JSON or written.
void write_sigmf_annotations(const std::string& meta, const sigmf_dataset& dataset,
                             const std::vector<sigmf_annotation>& annotations);

} // namespace rsid_tool

#endif
