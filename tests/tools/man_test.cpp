// The manual page against the command line itself: every option that `rsid CMD --help` lists
// (CLI11's own list, so nothing is copied by hand) must appear in that command's synopsis and
// be described in one of its sections; `rsid --help` and the page name every command.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string run(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> p(popen(command.c_str(), "r"), pclose);
    std::string out;
    std::array<char, 4096> buf{};
    for (std::size_t n; p && (n = fread(buf.data(), 1, buf.size(), p.get())) > 0;)
        out.append(buf.data(), n);
    return out;
}

// The page as text: roff's "\-" is a hyphen; "\fB" and the like go.
std::string man_text() {
    std::ifstream in(RSID_MAN);
    std::string s{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    s = std::regex_replace(s, std::regex(R"(\\-)"), "-");
    return std::regex_replace(s, std::regex(R"(\\f[BIRP])"), "");
}

// Lines from the one starting with `from` up to the next starting with any of `to`.
std::string block(const std::string& text, const std::string& from,
                  const std::vector<std::string>& to) {
    std::istringstream in(text);
    std::string out;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (inside)
            for (const std::string& t : to)
                if (line.rfind(t, 0) == 0)
                    return out;
        if (!inside && line.rfind(from, 0) == 0) {
            inside = true;
            continue;
        }
        if (inside)
            out += line + "\n";
    }
    return out;
}

// Whether `text` holds the option as a word of its own ("--mqtt" is not in "--mqtt-queue").
bool mentions(const std::string& text, const std::string& option) {
    for (std::size_t at = text.find(option); at != std::string::npos;
         at = text.find(option, at + 1)) {
        const std::size_t end = at + option.size();
        const bool starts = at == 0 || !(std::isalnum(static_cast<unsigned char>(text[at - 1])) ||
                                         text[at - 1] == '-');
        const bool ends =
            end == text.size() ||
            !(std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '-');
        if (starts && ends)
            return true;
    }
    return false;
}

// The options CLI11 lists, one entry per option with its names (short and long).
std::vector<std::vector<std::string>> options_of(const std::string& help) {
    std::vector<std::vector<std::string>> options;
    std::istringstream in(help);
    const std::regex name(R"((?:^|[\s,])(--?[A-Za-z][A-Za-z0-9-]*))");
    for (std::string line; std::getline(in, line);) {
        if (line.find_first_not_of(' ') == std::string::npos || line[0] != ' ')
            continue;
        const std::string head = line.substr(0, line.find("  ", line.find_first_not_of(' ')));
        if (head.find_first_not_of(' ') == std::string::npos ||
            line[head.find_first_not_of(' ')] != '-')
            continue;
        std::vector<std::string> names;
        for (std::sregex_iterator m(head.begin(), head.end(), name), e; m != e; ++m)
            names.push_back((*m)[1]);
        if (!names.empty() && names.back() != "--help")
            options.push_back(names);
    }
    return options;
}

TEST(man_page, describes_every_option_of_every_command) {
    const std::string man = man_text();
    const std::string synopsis = block(man, ".SH SYNOPSIS", {".SH"});
    const struct {
        const char* command;
        std::vector<std::string> usages, sections; // where its options must appear
    } cases[] = {
        {"send", {".B rsid send"}, {".SH SEND OPTIONS"}},
        {"detect",
         {".B rsid detect", ".I MQTT OPTIONS"},
         {".SH DETECT OPTIONS", ".SH MQTT OPTIONS"}},
        {"scan", {".B rsid scan", ".I MQTT OPTIONS"}, {".SH SCAN OPTIONS", ".SH MQTT OPTIONS"}},
    };
    for (const auto& c : cases) {
        const std::vector<std::vector<std::string>> options =
            options_of(run(std::string(RSID_TOOL) + " " + c.command + " --help"));
        EXPECT_GE(options.size(), 8u) << c.command << ": CLI11's help was not read";
        std::string usage;
        for (const std::string& u : c.usages)
            usage += block(synopsis, u, {".B rsid ", ".PP", ".br"});
        std::string described;
        for (const std::string& s : c.sections)
            described += block(man, s, {".SH"});
        for (const std::vector<std::string>& names : options) {
            // One of its names in the synopsis, every name where it is described.
            EXPECT_TRUE(std::any_of(names.begin(), names.end(),
                                    [&](const std::string& o) { return mentions(usage, o); }))
                << "rsid " << c.command << " " << names.back() << ": not in the SYNOPSIS";
            for (const std::string& o : names)
                EXPECT_TRUE(mentions(described, o))
                    << "rsid " << c.command << " " << o << ": not described in its sections";
        }
    }
    // `rsid --help` and the page's -h name every command.
    const std::string help = run(std::string(RSID_TOOL) + " --help");
    const std::string h = block(man, ".BR -h", {".TP", ".SH"});
    for (const char* command : {"send", "detect", "scan"}) {
        EXPECT_TRUE(mentions(help, command)) << help;
        EXPECT_NE(h.find(std::string("rsid ") + command), std::string::npos) << h;
    }
}

} // namespace
