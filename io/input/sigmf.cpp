// sigmf.cpp - SigMF metadata in and annotations out, through nlohmann::json.
#include "input/sigmf.h"

#include "errors.h"
#include "replace_file.h"
#include "scanner.h" // engine/: max_center_hz

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace rsid_tool {

namespace {

namespace fs = std::filesystem;
using ordered_json = nlohmann::ordered_json;

constexpr const char* meta_ext = ".sigmf-meta";
constexpr const char* data_ext = ".sigmf-data";
constexpr const char* sigmf_version = "1.0.0";

bool ends_with(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

std::string stem_of(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return path;
    return path.substr(0, dot);
}

// Metadata is a few kilobytes, or megabytes with many annotations; larger files, and nesting
// deeper than SigMF's few levels, are refused before they are parsed: a parser's memory grows
// many times a file's size, and deeply nested values are destroyed recursively.
constexpr std::size_t max_meta_bytes = 4 << 20;
constexpr int max_meta_depth = 32;

// The whole file, or nullopt when it does not exist; other failures, files over
// max_meta_bytes, and anything but a regular file throw E. A FIFO would hold the tool in
// open(2) or read(2), where a stop request is not seen; metadata is read twice and rewritten
// in place, which only a file allows anyway.
template <class E> std::optional<std::string> slurp(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw E(path + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        throw E(path + ": metadata must be a regular file");
    }
    std::string text;
    char chunk[1 << 16];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int e = errno;
            close(fd);
            throw E(path + ": " + std::strerror(e));
        }
        if (n == 0)
            break;
        text.append(chunk, static_cast<std::size_t>(n));
        if (text.size() > max_meta_bytes) {
            close(fd);
            throw E(path + ": metadata larger than 4 MiB is not read");
        }
    }
    close(fd);
    return text;
}

// Parses metadata after checking its nesting on the bytes; a non-object or malformed text is
// discarded (is_discarded()).
template <class E> ordered_json parse_meta(const std::string& text, const std::string& path) {
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max_meta_depth)
                throw E(path + ": metadata nested deeper than " + std::to_string(max_meta_depth) +
                        " levels is not read");
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return ordered_json::parse(text, nullptr, false);
}

// A file name beside the metadata: no directory, no "." or "..", no NUL.
bool plain_file_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

// The samples' file an existing metadata file describes: core:dataset, else its own
// .sigmf-data; as a name beside it.
std::string described_dataset(const ordered_json& j, const std::string& meta) {
    if (j.contains("global") && j["global"].is_object() && j["global"].contains("core:dataset") &&
        j["global"]["core:dataset"].is_string())
        return j["global"]["core:dataset"].get<std::string>();
    return fs::path(stem_of(meta) + data_ext).filename().string();
}

} // namespace

bool is_sigmf(const std::string& path) {
    return ends_with(path, meta_ext) || ends_with(path, data_ext);
}

std::string sigmf_meta_for(const std::string& input) { return stem_of(input) + meta_ext; }

sigmf_recording read_sigmf(const std::string& path) {
    sigmf_recording r;
    r.meta = stem_of(path) + meta_ext;
    const std::optional<std::string> text = slurp<input_error>(r.meta);
    if (!text)
        throw input_error(r.meta + ": No such file or directory");
    const ordered_json j = parse_meta<input_error>(*text, r.meta);
    if (j.is_discarded() || !j.is_object())
        throw input_error(r.meta + ": not JSON metadata");
    const ordered_json* global =
        j.contains("global") && j["global"].is_object() ? &j["global"] : nullptr;
    if (!global || !global->contains("core:datatype") || !(*global)["core:datatype"].is_string())
        throw input_error(r.meta + ": no global core:datatype");
    const std::string datatype = (*global)["core:datatype"].get<std::string>();
    const auto type = sigmf_iq_type(datatype);
    if (!type)
        throw input_error(r.meta + ": core:datatype " + datatype +
                          " is not supported (cu8, ci8, ci16_le, cf32_le)");
    r.type = *type;
    if (!global->contains("core:sample_rate") || !(*global)["core:sample_rate"].is_number())
        throw input_error(r.meta + ": no global core:sample_rate");
    r.rate = (*global)["core:sample_rate"].get<double>();
    if (j.contains("captures") && j["captures"].is_array() && !j["captures"].empty()) {
        const ordered_json& first = j["captures"][0];
        if (first.is_object() && first.contains("core:frequency") &&
            first["core:frequency"].is_number()) {
            r.frequency = first["core:frequency"].get<double>();
            if (!(std::abs(*r.frequency) <= rsid::max_center_hz))
                throw input_error(r.meta + ": core:frequency must lie within -1e12 to 1e12 Hz");
        }
        // The time of the capture's first sample; a capture that starts later than sample 0
        // does not date the samples before it.
        if (first.is_object() && first.contains("core:datetime") &&
            first["core:datetime"].is_string() &&
            (!first.contains("core:sample_start") || first["core:sample_start"] == 0)) {
            const auto t = parse_iso8601(first["core:datetime"].get<std::string>());
            if (!t)
                throw input_error(r.meta + ": core:datetime is not an ISO 8601 time");
            r.start = start_time{*t, clock_sigmf};
        }
    }
    // A dataset with another name is given by core:dataset: a file beside the metadata, never
    // one elsewhere that the metadata would have the tool read.
    const std::string dataset = described_dataset(j, r.meta);
    if (!plain_file_name(dataset))
        throw input_error(r.meta + ": core:dataset must name a file beside the metadata");
    r.data = (fs::path(r.meta).parent_path() / dataset).string();
    return r;
}

void write_sigmf_annotations(const std::string& meta, const sigmf_dataset& dataset,
                             const std::vector<sigmf_annotation>& annotations) {
    ordered_json j;
    if (const std::optional<std::string> text = slurp<output_error>(meta)) {
        j = parse_meta<output_error>(*text, meta);
        if (j.is_discarded() || !j.is_object())
            throw output_error(meta + ": not JSON metadata; annotations not written");
        // Another recording's metadata (a raw file beside a SigMF pair of the same name) keeps
        // its annotations: they would name samples of a different file.
        const std::string described = described_dataset(j, meta);
        if (described != dataset.file)
            throw output_error(meta + ": describes " + described + ", not " + dataset.file +
                               "; annotations not written");
        const ordered_json& global = j["global"];
        if (!global.contains("core:datatype") || !global["core:datatype"].is_string() ||
            global["core:datatype"].get<std::string>() != sigmf_datatype(dataset.type))
            throw output_error(meta + ": its core:datatype is not the input's " +
                               sigmf_datatype(dataset.type) + "; annotations not written");
    } else {
        j["global"] = {{"core:datatype", sigmf_datatype(dataset.type)},
                       {"core:sample_rate", dataset.rate},
                       {"core:version", sigmf_version},
                       {"core:dataset", dataset.file}};
        j["captures"] = ordered_json::array(
            {{{"core:sample_start", 0}, {"core:frequency", dataset.frequency}}});
    }
    if (!j.contains("annotations") || !j["annotations"].is_array())
        j["annotations"] = ordered_json::array();
    ordered_json& kept = j["annotations"];
    for (const sigmf_annotation& a : annotations) {
        ordered_json o;
        o["core:sample_start"] = a.sample_start;
        o["core:sample_count"] = a.sample_count;
        o["core:freq_lower_edge"] = a.freq_lower_edge;
        o["core:freq_upper_edge"] = a.freq_upper_edge;
        o["core:label"] = a.label;
        o["core:generator"] = sigmf_generator;
        if (!a.comment.empty())
            o["core:comment"] = a.comment;
        // A scan of the same samples finds the same identifiers: an annotation of this tool at
        // the same place is brought up to date rather than repeated. Nothing else is removed.
        const auto same = std::find_if(kept.begin(), kept.end(), [&](const ordered_json& b) {
            if (!b.is_object())
                return false;
            const auto gen = b.find("core:generator");
            const auto label = b.find("core:label");
            const auto at = b.find("core:sample_start");
            const auto low = b.find("core:freq_lower_edge");
            return gen != b.end() && *gen == sigmf_generator && label != b.end() &&
                   *label == a.label && at != b.end() && at->is_number_integer() &&
                   at->get<int64_t>() == a.sample_start && low != b.end() && low->is_number() &&
                   std::abs(low->get<double>() - a.freq_lower_edge) < 1.0;
        });
        if (same != kept.end())
            *same = o;
        else
            kept.push_back(o);
    }
    auto start = [](const ordered_json& a) {
        return a.is_object() && a.contains("core:sample_start") &&
                       a["core:sample_start"].is_number()
                   ? a["core:sample_start"].get<double>()
                   : 0.0;
    };
    std::stable_sort(kept.begin(), kept.end(), [&](const ordered_json& a, const ordered_json& b) {
        return start(a) < start(b);
    });

    // Indented for people while that stays small: indentation multiplies the size of a long
    // or deep file, which is then written as compactly as it can be.
    std::string text;
    try {
        text = j.dump(-1);
        if (text.size() < (256 << 10)) {
            std::string indented = j.dump(2);
            if (indented.size() <= 2 * text.size() + (64 << 10))
                text = std::move(indented);
        }
    } catch (const nlohmann::json::type_error&) { // a string that is not UTF-8
        throw output_error(meta + ": " + (dataset.file.empty() ? "" : dataset.file + ": ") +
                           "a name or text that is not UTF-8 cannot go into SigMF metadata; "
                           "annotations not written");
    }
    text += '\n';
    replace_file out(meta);
    out.write(text.data(), text.size());
    out.commit();
}

} // namespace rsid_tool
