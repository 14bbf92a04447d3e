#pragma once

// Pieces of the script and CLI tests: a front end that hands boxes to a runner
// and a recorder, a broker that answers like a well-behaved one, a scratch folder.
#include "console/ConsoleTestSupport.h"
#include "console/script/Script.h"
#include "console/script/ScriptRunner.h"
#include "console/script/SessionRecorder.h"
#include "support/FakeBroker.h"
#include "support/MqttFrames.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace clitest {

namespace fs = std::filesystem;

// Boxes go where the CLI's and the window's front ends send them.
class TScriptFrontEnd : public TFakeFrontEnd {
public:
    TScriptRunner* Runner = nullptr;
    TSessionRecorder* Recorder = nullptr;

    void ShowError(const std::string& text) override
    {
        TFakeFrontEnd::ShowError(text);
        Forward("tarnwick", text);
    }
    void ShowMessageBox(const std::string& title, const std::string& text, bool warning) override
    {
        TFakeFrontEnd::ShowMessageBox(title, text, warning);
        Forward(title, text);
    }

private:
    void Forward(const std::string& title, const std::string& text)
    {
        if (Runner)
            Runner->BoxShown(title, text);
        if (Recorder)
            Recorder->OnBox(text);
    }
};

// Answers every frame as a well-behaved MQTT 3.1 broker does.
inline void AnswerWell(FakeBroker& broker)
{
    broker.OnFrame([](const testframes::TFrame& frame, FakeBroker& b) {
        for (const testframes::TFrame& answer : testframes::WellBehavedAnswer(frame))
            b.Send(answer);
    });
}

// A folder of its own, removed with everything in it.
class TScratchDir {
public:
    TScratchDir()
    {
        std::string pattern = (fs::temp_directory_path() / "tarnwick_cli_XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        Path = pattern;
    }
    ~TScratchDir() { fs::remove_all(Path); }
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;

    std::string Write(const std::string& name, const std::string& text) const
    {
        const fs::path file = Path / name;
        std::ofstream(file, std::ios::binary) << text;
        return file.string();
    }
    std::vector<fs::path> Files() const;

    fs::path Path;
};

// The files in a folder; none when it does not exist.
inline std::vector<fs::path> FilesIn(const fs::path& folder)
{
    std::vector<fs::path> files;
    std::error_code error;
    for (const fs::directory_entry& e : fs::directory_iterator(folder, error))
        files.push_back(e.path());
    return files;
}

inline std::vector<fs::path> TScratchDir::Files() const
{
    return FilesIn(Path);
}

inline std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace clitest
