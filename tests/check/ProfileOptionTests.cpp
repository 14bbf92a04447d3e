// --profile reads a connection profile as the window saves it: QSettings' INI
// (the name percent-encoded twice, values quoted and escaped, a leading "@"
// doubled) and the password from its own JSON file, under $XDG_CONFIG_HOME.
#include "console/check/CheckCommand.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

namespace fs = std::filesystem;

class ProfileOption : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tarnwick-profile-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        Root = pattern;
        fs::create_directories(Root / "Tarnwick");
        Write("tarnwick.conf",
              "[Fields]\nBrokerEdit1=not.this.one\n\n[Profiles]\n"
              "other\\BrokerEdit1=10.0.0.9\n"
              "lab%2520broker%7E1\\BrokerEdit1=127.0.0.1\n"
              "lab%2520broker%7E1\\BrokerPortSpn=18883\n"
              "lab%2520broker%7E1\\ClientIDEdit=\" kept \"\n"
              "lab%2520broker%7E1\\ProtocolVersionCmb=5.0\n"
              "lab%2520broker%7E1\\TlsCaFileEdit=\"/tmp/ca, \\\"x\\\"; \xC3\xBC.pem\"\n"
              "lab%2520broker%7E1\\TlsChk=true\n"
              "lab%2520broker%7E1\\TlsVerifyHostChk=false\n"
              "lab%2520broker%7E1\\UserNameEdit=@@admin\n");
        Write("passwords.json", "{\n    \"lab broker~1\": \"s3 \\\"cret\\\"\",\n    \"other\": \"no\"\n}\n");
        const char* old = std::getenv("XDG_CONFIG_HOME");
        OldConfig = old ? old : "";
        ::setenv("XDG_CONFIG_HOME", Root.c_str(), 1);
    }
    void TearDown() override
    {
        if (OldConfig.empty()) ::unsetenv("XDG_CONFIG_HOME");
        else ::setenv("XDG_CONFIG_HOME", OldConfig.c_str(), 1);
        fs::remove_all(Root);
    }
    void Write(const std::string& file, const std::string& text) { std::ofstream(Root / "Tarnwick" / file) << text; }

    // The fields the options set, control name to value (a number or check box as its number).
    std::map<std::string, std::string> Fields(const std::vector<std::string>& args, std::string& error)
    {
        TCheckOptions options;
        std::vector<TScriptStep> steps;
        std::map<std::string, std::string> fields;
        if (!ParseCheckOptions(args, options, error) ||
            !ParseConnectionLines(options.ConnectionText, "connection", steps, error))
            return fields;
        for (const TScriptStep& step : steps)
            fields[step.Field->Name] = step.Field->Kind == TScriptFieldKind::Text ? step.Value : std::to_string(step.Number);
        return fields;
    }

    fs::path Root;
    std::string OldConfig;
};

TEST_F(ProfileOption, TakesTheSavedFieldsAndPasswordAndLetsLaterFlagsWin)
{
    std::string error;
    const auto fields = Fields({"--profile", "lab broker~1", "--port", "1884"}, error);
    EXPECT_EQ(error, "");
    const std::map<std::string, std::string> expected = {
        {"BrokerEdit1", "127.0.0.1"}, {"BrokerPortSpn", "1884"},  {"TlsCaFileEdit", "/tmp/ca, \"x\"; \xC3\xBC.pem"},
        {"TlsChk", "1"},              {"TlsVerifyHostChk", "0"},  {"UserNameEdit", "@admin"},
        {"PasswordEdit", "s3 \"cret\""}};
    EXPECT_EQ(fields, expected);
}

TEST_F(ProfileOption, RefusesWhatItCannotRead)
{
    const struct {
        const char* Name;
        const char* Passwords;   // nullptr: as written in SetUp
        const char* Error;
    } rows[] = {
        {"missing", nullptr, "no profile missing in "},
        {"lab broker~1", "{\"lab broker~1\": ", "cannot read the passwords in "},
    };
    for (const auto& row : rows) {
        if (row.Passwords) Write("passwords.json", row.Passwords);
        TCheckOptions options;
        std::string error;
        EXPECT_FALSE(ParseCheckOptions({"--profile", row.Name}, options, error)) << row.Name;
        EXPECT_EQ(error.rfind(row.Error, 0), 0u) << error;
    }
}

}  // namespace
