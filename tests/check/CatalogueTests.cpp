// Every statement the catalogue cites exists in the standard of its version:
// an id within the numbering of its section, or a section ("§3.3.4") for a
// rule the standard states without an id.
#include "console/check/Check.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>

namespace {

// Section -> the last statement number in it, as the OASIS texts number them.
const std::map<std::string, int> Numbered311 = {
    {"1.5.3", 3},  {"2.2.2", 2},  {"2.3.1", 7},  {"3.1.0", 2},  {"3.1.2", 24}, {"3.1.3", 11}, {"3.1.4", 5},
    {"3.2.0", 1},  {"3.2.2", 6},  {"3.3.1", 12}, {"3.3.2", 3},  {"3.3.4", 1},  {"3.3.5", 2},  {"3.6.1", 1},
    {"3.8.1", 1},  {"3.8.3", 4},  {"3.8.4", 6},  {"3.9.3", 2},  {"3.10.1", 1}, {"3.10.3", 2}, {"3.10.4", 6},
    {"3.12.4", 1}, {"3.14.1", 1}, {"3.14.4", 3}, {"4.1.0", 2},  {"4.3.1", 1},  {"4.3.2", 2},  {"4.3.3", 2},
    {"4.4.0", 1},  {"4.5.0", 2},  {"4.6.0", 6},  {"4.7.1", 3},  {"4.7.2", 1},  {"4.7.3", 4},  {"4.8.0", 2}};
const std::map<std::string, int> Numbered50 = {
    {"1.5.4", 3},  {"1.5.5", 1},  {"2.1.3", 1},  {"2.2.1", 6},  {"3.1.0", 2},  {"3.1.2", 30}, {"3.1.3", 12},
    {"3.1.4", 6},  {"3.2.0", 2},  {"3.2.2", 22}, {"3.3.1", 13}, {"3.3.2", 20}, {"3.3.4", 10}, {"3.6.1", 1},
    {"3.8.1", 1},  {"3.8.3", 5},  {"3.8.4", 8},  {"3.9.3", 2},  {"3.10.1", 1}, {"3.10.3", 2}, {"3.10.4", 6},
    {"3.12.4", 1}, {"3.14.1", 1}, {"3.14.4", 3}, {"4.1.0", 2},  {"4.3.1", 1},  {"4.3.2", 5},  {"4.3.3", 13},
    {"4.4.0", 2},  {"4.5.0", 2},  {"4.6.0", 6},  {"4.7.0", 1},  {"4.7.1", 2},  {"4.7.2", 1},  {"4.7.3", 4},
    {"4.8.2", 6},  {"4.9.0", 3},  {"4.13.1", 1}, {"4.13.2", 1}};

bool Exists(const std::string& statement, const std::map<std::string, int>& numbered)
{
    static const std::regex Id(R"(MQTT-([0-9.]+)-([0-9]+))"), Section(R"(§[1-4](\.[0-9]+)*)");
    std::smatch m;
    if (std::regex_match(statement, Section)) return true;
    if (!std::regex_match(statement, m, Id)) return false;
    const auto section = numbered.find(m[1]);
    return section != numbered.end() && std::stoi(m[2]) >= 1 && std::stoi(m[2]) <= section->second;
}

TEST(Catalogue, CitesOnlyStatementsOfItsVersions)
{
    for (const TCheck& check : CheckCatalogue()) {
        EXPECT_EQ(check.Statements311.empty(), (check.Versions & V3x) == 0) << check.Id;
        EXPECT_EQ(check.Statements50.empty(), (check.Versions & V50) == 0) << check.Id;
        for (const char* s : check.Statements311) EXPECT_TRUE(Exists(s, Numbered311)) << check.Id << " 3.1.1: " << s;
        for (const char* s : check.Statements50) EXPECT_TRUE(Exists(s, Numbered50)) << check.Id << " 5.0: " << s;
    }
}

}  // namespace
