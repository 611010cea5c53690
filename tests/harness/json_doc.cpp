#include "json_doc.h"

#include <fstream>
#include <map>
#include <regex>
#include <set>

#include <nlohmann/json.hpp>

namespace jsondoc {

namespace {

using nlohmann::json;

bool typeFits(const std::string& documented, const json& value) {
    bool nullable = documented.find("or null") != std::string::npos;
    if (value.is_null()) return nullable;
    std::string base = documented.substr(0, documented.find(' '));
    if (base == "string") return value.is_string();
    if (base == "integer") return value.is_number_integer();
    if (base == "number") return value.is_number();
    if (base == "boolean") return value.is_boolean();
    if (base == "array") return value.is_array();
    if (base == "object") return value.is_object();
    return false;
}

// Every key of the object: "outer.inner" for the keys of an object inside it, and
// "array[].key" for the keys of objects in an array.
void flatten(const json& object, const std::string& prefix, std::map<std::string, const json*>& out) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        std::string name = prefix + it.key();
        out[name] = &it.value();
        if (it.value().is_object()) flatten(it.value(), name + ".", out);
        if (!it.value().is_array()) continue;
        for (const json& item : it.value())
            if (item.is_object()) flatten(item, name + "[].", out);
    }
}

std::string compare(const Object& documented, const json& value, const std::string& line) {
    std::map<std::string, const json*> printed;
    flatten(value, "", printed);
    std::string problems;
    std::set<std::string> listed;
    for (const Key& k : documented.keys) {
        listed.insert(k.name);
        auto at = printed.find(k.name);
        bool inArray = k.name.find("[]") != std::string::npos;  // absent from an empty array
        if (at == printed.end()) {
            if (!inArray) problems += " lacks '" + k.name + "';";
        } else if (!typeFits(k.type, *at->second)) {
            problems += " '" + k.name + "' is " + at->second->dump() + ", documented as " + k.type + ";";
        }
    }
    for (const auto& [name, v] : printed)
        if (!listed.count(name)) problems += " '" + name + "' is not documented;";
    if (problems.empty()) return {};
    return documented.program + " " + documented.type + ":" + problems + " in " + line;
}

}  // namespace

std::vector<Object> load(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return {};
    }
    static const std::regex heading(R"(^### ([a-z]+): ([a-z-]+)\s*$)");
    static const std::regex row(R"(^\| `([A-Za-z0-9_\[\].]+)` \| ([^|]+?) \|)");
    std::vector<Object> doc;
    bool inObject = false;
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_match(line, m, heading)) {
            doc.push_back(Object{m[1], m[2], {}});
            inObject = true;
        } else if (line.rfind("#", 0) == 0) {
            inObject = false;
        } else if (inObject && std::regex_search(line, m, row)) {
            doc.back().keys.push_back(Key{m[1], m[2]});
        }
    }
    if (doc.empty()) error = path + " documents no object";
    return doc;
}

std::vector<Object> of(const std::vector<Object>& doc, const std::string& program) {
    std::vector<Object> mine;
    for (const Object& o : doc)
        if (o.program == program) mine.push_back(o);
    return mine;
}

std::string check(const std::vector<Object>& doc, const std::string& program, const std::string& line,
                  std::string& type) {
    json value = json::parse(line, nullptr, false);
    if (value.is_discarded() || !value.is_object()) return "not a JSON object: " + line;
    type = value.contains("type") && value["type"].is_string() ? value["type"].get<std::string>() : "";
    for (const Object& o : doc)
        if (o.program == program && o.type == type) return compare(o, value, line);
    return program + " object of type '" + type + "' is not documented: " + line;
}

std::string checkAs(const std::vector<Object>& doc, const std::string& program, const std::string& object,
                    const std::string& line) {
    json value = json::parse(line, nullptr, false);
    if (value.is_discarded() || !value.is_object()) return "not a JSON object: " + line;
    for (const Object& o : doc)
        if (o.program == program && o.type == object) return compare(o, value, line);
    return program + " object '" + object + "' is not documented";
}

}  // namespace jsondoc
