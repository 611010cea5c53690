// The check of printed JSON against docs/json.md finds each kind of difference, and
// the file itself reads as the objects lcctl prints.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "json_doc.h"

TEST(JsonDocCheck, FindsMissingExtraAndMistypedKeys) {
    std::string path = testing::TempDir() + "json_doc_check.md";
    std::ofstream(path) << "# x\n### lcctl: thing\n| Key | Type | Meaning |\n|---|---|---|\n"
                           "| `type` | string | thing |\n| `n` | integer or null | a count |\n"
                           "| `list` | array | items |\n| `list[].at` | number | when |\n## other\n"
                           "| `notAKey` | string | outside any object |\n";
    std::string error, type;
    std::vector<jsondoc::Object> doc = jsondoc::load(path, error);
    std::remove(path.c_str());
    ASSERT_EQ(error, "");
    ASSERT_EQ(doc.size(), 1u);
    EXPECT_EQ(doc[0].keys.size(), 4u);

    EXPECT_EQ(jsondoc::check(doc, "lcctl", R"({"type":"thing","n":null,"list":[{"at":1.5}]})", type), "");
    EXPECT_EQ(type, "thing");
    EXPECT_EQ(jsondoc::check(doc, "lcctl", R"({"type":"thing","n":3,"list":[]})", type), "");
    const std::pair<const char*, const char*> wrong[] = {
        {R"({"type":"thing","list":[]})", "lacks 'n'"},
        {R"({"type":"thing","n":1,"list":[],"extra":true})", "'extra' is not documented"},
        {R"({"type":"thing","n":1.5,"list":[]})", "'n' is 1.5, documented as integer or null"},
        {R"({"type":"thing","n":1,"list":[{"at":"x"}]})", "'list[].at' is \"x\""},
        {R"({"type":"thing","n":1,"list":[{"at":1,"more":2}]})", "'list[].more' is not documented"},
        {R"({"type":"other"})", "type 'other' is not documented"},
        {R"(progress 1.0 s)", "not a JSON object"},
    };
    for (const auto& [line, says] : wrong)
        EXPECT_NE(jsondoc::check(doc, "lcctl", line, type).find(says), std::string::npos)
            << line << ": " << jsondoc::check(doc, "lcctl", line, type);
    EXPECT_NE(jsondoc::check(doc, "lcfleet", R"({"type":"thing","n":1,"list":[]})", type).find("not documented"),
              std::string::npos);
    // By the name it is documented under, with objects inside objects.
    EXPECT_EQ(jsondoc::checkAs(doc, "lcctl", "thing", R"({"type":"x","n":1,"list":[]})"), "");
    EXPECT_NE(jsondoc::checkAs(doc, "lcctl", "thing", R"({"type":"x","n":1,"list":[],"o":{"a":1}})").find(
                  "'o.a' is not documented"),
              std::string::npos);
}

TEST(JsonDocCheck, TheDocumentListsEveryLcctlObject) {
    std::string error;
    std::vector<jsondoc::Object> doc = jsondoc::load(LC_JSON_DOC, error);
    ASSERT_EQ(error, "");
    std::vector<std::string> types;
    for (const jsondoc::Object& o : jsondoc::of(doc, "lcctl")) {
        types.push_back(o.type);
        ASSERT_GE(o.keys.size(), 3u) << o.type;
        EXPECT_EQ(o.keys[0].name, "type") << o.type;
        EXPECT_EQ(o.keys[1].name, "schema") << o.type;
    }
    EXPECT_EQ(types, (std::vector<std::string>{"device", "status", "start", "progress", "stall", "summary",
                                               "configure", "stop", "keep", "set-serial", "set-ip", "found",
                                               "changed", "removed", "table-full", "watched"}));
}
