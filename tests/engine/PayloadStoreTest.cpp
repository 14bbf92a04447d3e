#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "mqtt/engine/PayloadStore.h"
#include "platform/Error.h"

using namespace enginetest;

namespace {

// Hands out the given names in turn, the last one again and again.
TPayloadStore::TNameMaker Names(std::vector<std::string> names)
{
    auto next = std::make_shared<size_t>(0);
    return [names = std::move(names), next] { return names[std::min((*next)++, names.size() - 1)]; };
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

} // namespace

// A name that exists already, made by anybody (another console sharing the
// folder, a clock stepped back, two names in one millisecond), is never
// replaced: the store draws another. So also on a file system that cannot
// rename without replacing (a hard link takes the name then).
TEST(PayloadStore, AnExistingNameIsNeverReplaced)
{
    struct TCase {
        const char* Name;
        std::vector<std::string> Existing;   // made before the save, holding "older"
        std::vector<std::string> Drawn;      // the names the maker hands out
        std::string SavedAs;                 // "" when the save must fail
    };
    const std::vector<TCase> cases = {
        {"free name", {}, {"Pub_A.dat"}, "Pub_A.dat"},
        {"name taken", {"Pub_A.dat"}, {"Pub_A.dat", "Pub_B.dat"}, "Pub_B.dat"},
        {"every name taken", {"Pub_A.dat"}, {"Pub_A.dat"}, ""},
    };
    for (const bool noReplaceRefused : {false, true}) {
        for (const TCase& c : cases) {
            SCOPED_TRACE(std::string(c.Name) + (noReplaceRefused ? ", no rename without replacing" : ""));
            TTempDir dir;
            for (const auto& name : c.Existing)
                WriteFile(dir.Path() + "/" + name, "older");
            TPayloadStore store;
            store.SetDirectory(dir.Path());
            store.SetNameMaker(Names(c.Drawn));
            if (noReplaceRefused)
                store.SetRenameNoReplace([](const char*, const char*) {
                    errno = EINVAL;
                    return -1;
                });
            const Bytes payload = Text("newer");

            if (c.SavedAs.empty()) {
                try {
                    store.Save(payload.data(), static_cast<int64_t>(payload.size()));
                    ADD_FAILURE() << "saved although every name was taken";
                } catch (const Exception& e) {
                    EXPECT_EQ(e.Message(), "Cannot create file \"" + dir.Path() + "/Pub_A.dat\". File exists");
                }
            } else {
                EXPECT_EQ(store.Save(payload.data(), static_cast<int64_t>(payload.size())),
                          dir.Path() + "/" + c.SavedAs);
                EXPECT_EQ(dir.Read(c.SavedAs), payload);
            }
            for (const auto& name : c.Existing)
                EXPECT_EQ(dir.Read(name), Text("older")) << name;
            // No temporary file is left, whatever happened.
            EXPECT_EQ(dir.Files().size(), c.Existing.size() + (c.SavedAs.empty() ? 0 : 1));
        }
    }
}
