// json_schema.h - a JSON Schema validator for the keywords io/records/detection.schema.json uses
// (type, const, enum, required, properties, additionalProperties, minimum, maximum,
// exclusiveMinimum, pattern, items, oneOf and $ref into $defs). A keyword it does not know fails
// the validation, so a schema that grows beyond this subset cannot pass unchecked.
// tests/tools/schema_test.py checks the same schema and output with python3-jsonschema.
#ifndef RSID_TESTS_JSON_SCHEMA_H
#define RSID_TESTS_JSON_SCHEMA_H

#include <nlohmann/json.hpp>

#include <regex.h>

#include <set>
#include <string>

namespace schema_check {

using json = nlohmann::json;

// The schema's patterns are POSIX extended expressions as well as ECMAScript ones (anchors,
// classes, counts, escaped dots), so the C library's matcher serves.
inline bool matches(const std::string& text, const std::string& pattern) {
    regex_t re;
    if (regcomp(&re, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
        return false;
    const bool ok = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&re);
    return ok;
}

// Returns "" when value is valid against schema (with root for $ref), else what is wrong and
// where.
inline std::string validate(const json& value, const json& schema, const json& root,
                            const std::string& where = "$") {
    static const std::set<std::string> ignored = {"$schema", "$defs", "title", "description"};
    for (const auto& [key, rule] : schema.items()) {
        if (ignored.count(key))
            continue;
        std::string error;
        if (key == "$ref") {
            const std::string ref = rule.get<std::string>();
            const std::string prefix = "#/$defs/";
            if (ref.rfind(prefix, 0) != 0)
                return where + ": unsupported $ref " + ref;
            error = validate(value, root.at("$defs").at(ref.substr(prefix.size())), root, where);
        } else if (key == "oneOf") {
            int matched = 0;
            std::string errors;
            for (const json& option : rule) {
                const std::string e = validate(value, option, root, where);
                matched += e.empty();
                errors += "\n  " + e;
            }
            if (matched != 1)
                error = where + ": matches " + std::to_string(matched) + " of oneOf" + errors;
        } else if (key == "type") {
            const std::string t = rule.get<std::string>();
            const bool ok = t == "object"    ? value.is_object()
                            : t == "string"  ? value.is_string()
                            : t == "integer" ? value.is_number_integer()
                            : t == "number"  ? value.is_number()
                            : t == "boolean" ? value.is_boolean()
                            : t == "array"   ? value.is_array()
                                             : false;
            if (!ok)
                error = where + ": " + value.dump() + " is not of type " + t;
        } else if (key == "const") {
            if (value != rule)
                error = where + ": " + value.dump() + " is not " + rule.dump();
        } else if (key == "enum") {
            if (std::find(rule.begin(), rule.end(), value) == rule.end())
                error = where + ": " + value.dump() + " is not one of " + rule.dump();
        } else if (key == "required") {
            for (const json& name : rule)
                if (!value.is_object() || !value.contains(name.get<std::string>()))
                    error = where + ": no " + name.get<std::string>();
        } else if (key == "properties") {
            if (value.is_object())
                for (const auto& [name, sub] : rule.items())
                    if (value.contains(name) && error.empty())
                        error = validate(value.at(name), sub, root, where + "." + name);
        } else if (key == "additionalProperties") {
            if (rule != false)
                return where + ": only additionalProperties false is supported";
            if (value.is_object())
                for (const auto& [name, v] : value.items())
                    if (!schema.at("properties").contains(name))
                        error = where + ": unexpected field " + name;
        } else if (key == "minimum" || key == "maximum" || key == "exclusiveMinimum") {
            if (value.is_number()) {
                const double x = value.get<double>();
                const double limit = rule.get<double>();
                if ((key == "minimum" && x < limit) || (key == "maximum" && x > limit) ||
                    (key == "exclusiveMinimum" && x <= limit))
                    error = where + ": " + value.dump() + " breaks " + key + " " + rule.dump();
            }
        } else if (key == "items") {
            if (value.is_array())
                for (std::size_t i = 0; i < value.size() && error.empty(); ++i)
                    error = validate(value[i], rule, root, where + "[" + std::to_string(i) + "]");
        } else if (key == "pattern") {
            if (value.is_string() && !matches(value.get<std::string>(), rule.get<std::string>()))
                error = where + ": " + value.dump() + " does not match " + rule.dump();
        } else {
            return where + ": unsupported keyword " + key;
        }
        if (!error.empty())
            return error;
    }
    return "";
}

} // namespace schema_check

#endif
