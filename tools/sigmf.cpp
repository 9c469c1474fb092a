// sigmf.cpp - SigMF metadata in and annotations out, through nlohmann::json.
#include "sigmf.h"

#include "commands.h" // output_error

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

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

// The whole file, or nullopt when it does not exist; other failures throw E.
template <class E> std::optional<std::string> slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT)
            return std::nullopt;
        throw E(path + ": " + std::strerror(errno));
    }
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad())
        throw E(path + ": read error");
    return s.str();
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
    const ordered_json j = ordered_json::parse(*text, nullptr, false);
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
            first["core:frequency"].is_number())
            r.frequency = first["core:frequency"].get<double>();
    }
    // A dataset with another name is given by core:dataset, beside the metadata.
    if (global->contains("core:dataset") && (*global)["core:dataset"].is_string())
        r.data = (fs::path(r.meta).parent_path() / (*global)["core:dataset"].get<std::string>())
                     .string();
    else
        r.data = stem_of(path) + data_ext;
    return r;
}

void write_sigmf_annotations(const std::string& meta, const sigmf_dataset& dataset,
                             const std::vector<sigmf_annotation>& annotations) {
    ordered_json j;
    if (const std::optional<std::string> text = slurp<output_error>(meta)) {
        j = ordered_json::parse(*text, nullptr, false);
        if (j.is_discarded() || !j.is_object())
            throw output_error(meta + ": not JSON metadata; annotations not written");
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
    ordered_json kept = ordered_json::array();
    std::copy_if(j["annotations"].begin(), j["annotations"].end(), std::back_inserter(kept),
                 [](const ordered_json& a) {
                     return !(a.is_object() && a.value("core:generator", "") == sigmf_generator);
                 });
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
    j["annotations"] = kept;

    // Written beside and renamed over, so that a reader never sees half a file.
    const std::string tmp = meta + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        out.flush();
        if (!out)
            throw output_error(meta + ": " + std::strerror(errno));
    }
    if (std::rename(tmp.c_str(), meta.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        (void)std::remove(tmp.c_str()); // best effort: the error to report is the rename's
        throw output_error(meta + ": " + why);
    }
}

} // namespace rsid_tool
