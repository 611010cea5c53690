// The JSON objects that docs/json.md documents, and a check of a printed object
// against them: every key listed there and no other, each value of its type.
// Programs' tests hold a table of command lines and check every line they print.
#pragma once

#include <string>
#include <vector>

namespace jsondoc {

struct Key {
    // "stalls[].at" for a key of the objects in the array "stalls", "faults.loss" for
    // a key of the object "faults"
    std::string name;
    std::string type;  // as written: "integer", "string or null", ...
};

struct Object {
    std::string program;  // lcctl, lcfleet
    std::string type;     // the value of its "type" key, or the name under which it is documented
    std::vector<Key> keys;
};

// The objects of the file: a heading "### PROGRAM: TYPE" and the table below it,
// whose rows start with "| `key` | type |". Empty with the reason in error when the
// file cannot be read.
std::vector<Object> load(const std::string& path, std::string& error);

// The objects of one program.
std::vector<Object> of(const std::vector<Object>& doc, const std::string& program);

// What is wrong with one printed line (a JSON object of program's): empty when it is
// documented, has exactly the documented keys and each value has its documented type.
// type receives the object's "type".
std::string check(const std::vector<Object>& doc, const std::string& program, const std::string& line,
                  std::string& type);

// The same for a line that is to be the object documented under that name, whatever
// its "type" key says (for objects without one).
std::string checkAs(const std::vector<Object>& doc, const std::string& program, const std::string& object,
                    const std::string& line);

}  // namespace jsondoc
