// tables.cpp - the tables every receiver shares, built once per process on first use.
#include "rsid_state.h"
#include "tables_data.h"

#include <cstring>

namespace {

// The window, sine and cosine tables are the generator's exact output (tables_data.h), so the
// spectrum has the same bits wherever the library runs, whatever its maths library.
void build_tables(rsid_tables& t) {
    std::memcpy(t.window_table, rsid_window_data, sizeof t.window_table);
    std::memcpy(t.cos_table, rsid_cosine_data, sizeof t.cos_table);
    std::memcpy(t.sin_table, rsid_sine_data, sizeof t.sin_table);
    const auto& pos = rsid_log::order.pos;
    for (int q = 0; q < 2; ++q) {
        for (int e = 0; e < 1112; ++e) {
            t.log.c[q][e] = t.cos_table[pos[q][e % 556]];
            t.log.s[q][e] = t.sin_table[pos[q][e % 556]];
        }
    }
    rsid_log_tables_derive(t.log);
    t.path = rsid_path_baseline;
    for (int path = rsid_path_avx; path < rsid_path_count; ++path) // the widest the CPU runs
        if (rsid_path_supported(path))
            t.path = path;
}

} // namespace

const rsid_tables& rsid_shared_tables() {
    static rsid_tables tables; // zero until built: constant-initialised, nothing runs at load
    static const bool built = (build_tables(tables), true); // once, under the runtime's guard
    (void)built;
    return tables;
}
