// Every object lcfleet prints with --json is in docs/json.md, with exactly its keys
// and their types: one row per command line, with the type of the objects it prints.
// A new verb or object gets a row here.
#include <gtest/gtest.h>

#include <set>

#include "fleet_e2e_support.h"
#include "harness.h"
#include "json_doc.h"

using namespace fleettest;

TEST(FleetJsonDocumentation, EveryObjectLcfleetPrintsIsDocumented) {
    ASSERT_EQ(harness::netnsUnavailableReason(), "");
    std::string error;
    std::vector<jsondoc::Object> doc = jsondoc::load(LC_JSON_DOC, error);
    ASSERT_EQ(error, "");
    FleetEnv env;
    std::string ctlNs = env.makeNamespace('c');
    struct Row {
        std::vector<std::string> args;
        const char* object;
    };
    const Row rows[] = {
        {{"--prefix", env.prefix('j'), "--netns", ctlNs, "up", "2", "--bin", SIMLINECASTER_BIN, "--json"}, "up"},
        {{"status", "--json"}, "device"},
        {{"freeze", "1", "--json"}, "faults"},
        {{"status", "1", "--json"}, "device"},
        {{"thaw", "1", "--json"}, "faults"},
        {{"input", "2", "off", "--json"}, "faults"},
        {{"restart", "2", "--json"}, "faults"},
        {{"thaw", "9", "--json"}, "error"},  // no device 9
        {{"down", "--json"}, "down"},
    };
    std::set<std::string> seen;
    for (const Row& row : rows) {
        std::string line = "lcfleet";
        for (const std::string& a : row.args) line += " " + a;
        Result r = env.fleet('j', row.args);
        EXPECT_FALSE(r.out.empty()) << line << " printed nothing\n" << r.all();
        for (size_t at = 0; at < r.out.size();) {
            size_t end = r.out.find('\n', at);
            std::string object = r.out.substr(at, end - at);
            at = end == std::string::npos ? r.out.size() : end + 1;
            std::string type;
            EXPECT_EQ(jsondoc::check(doc, "lcfleet", object, type), "") << line;
            EXPECT_EQ(type, row.object) << line;
        }
        seen.insert(row.object);
    }
    for (const jsondoc::Object& o : jsondoc::of(doc, "lcfleet"))
        EXPECT_TRUE(seen.count(o.type)) << "no row of the table prints the documented object " << o.type;
}
