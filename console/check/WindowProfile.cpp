#include "console/check/WindowProfile.h"

#include "platform/CodePage.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

// The window keeps its settings with QSettings in INI form: a profile's fields
// are the keys "NAME\CONTROL" of the [Profiles] section, NAME percent-encoded
// once by the window (every byte but letters, digits and "-._~") and once more
// by QSettings (every byte but letters, digits and "_-."); a value is quoted
// when it has a "," ";" or "=" or blanks at its ends, escaped with "\" inside,
// and a leading "@" is doubled. The passwords are a JSON object, name to
// password, in a file of their own.

namespace {

bool ReadFile(const std::string& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return true;
}

int HexValue(char ch)
{
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

void AppendUtf8(std::string& out, unsigned code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// "%XX" to its byte; QSettings also writes "%UXXXX" for a character above U+00FF.
std::string PercentDecoded(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 5 < text.size() && text[i + 1] == 'U') {
            unsigned code = 0;
            bool hex = true;
            for (size_t k = 2; k < 6; ++k) hex = hex && HexValue(text[i + k]) >= 0;
            if (hex) {
                for (size_t k = 2; k < 6; ++k) code = code * 16 + static_cast<unsigned>(HexValue(text[i + k]));
                AppendUtf8(out, code);
                i += 5;
                continue;
            }
        }
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
            continue;
        }
        out += text[i];
    }
    return out;
}

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A value as QSettings wrote it, back to its text (UTF-8).
std::string IniValue(const std::string& raw)
{
    std::string text = Trimmed(raw);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char ch = text[++i];
        switch (ch) {
        case 'a': out += '\a'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'v': out += '\v'; break;
        case '0': out += '\0'; break;
        case 'x': {
            unsigned code = 0;
            size_t k = i + 1;
            for (; k < text.size() && k < i + 5 && HexValue(text[k]) >= 0; ++k)
                code = code * 16 + static_cast<unsigned>(HexValue(text[k]));
            AppendUtf8(out, code);
            i = k - 1;
            break;
        }
        default: out += ch; break;   // "\\", "\"" and anything else as it stands
        }
    }
    if (out.rfind("@@", 0) == 0) out.erase(0, 1);
    return out;
}

// A set line of the field; a value a line cannot hold is refused.
bool AddSetLine(std::string& lines, const std::string& profile, const std::string& control, const std::string& value,
                std::string& error)
{
    if (value.find_first_of("\r\n") != std::string::npos) {
        error = "the profile " + profile + " holds a line break in " + control;
        return false;
    }
    lines += "set " + control + " \"" + CodePage::UTF8ToSystem(value) + "\"\n";
    return true;
}

}  // namespace

std::string WindowSettingsDirectory()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config) return std::string(config) + "/Tarnwick";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/.config/Tarnwick";
}

bool WindowProfileLines(const std::string& directory, const std::string& name, std::string& lines, std::string& error)
{
    const std::string settingsFile = directory + "/tarnwick.conf";
    std::string text;
    if (!ReadFile(settingsFile, text)) {
        error = "cannot read " + settingsFile;
        return false;
    }
    std::istringstream in(text);
    std::string line, section;
    bool found = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line = Trimmed(line);
        if (line.size() > 1 && line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            continue;
        }
        const size_t eq = line.find('=');
        const size_t slash = line.find('\\');
        if (section != "Profiles" || eq == std::string::npos || slash == std::string::npos || slash > eq) continue;
        if (PercentDecoded(PercentDecoded(line.substr(0, slash))) != name) continue;
        found = true;
        const std::string control = PercentDecoded(Trimmed(line.substr(slash + 1, eq - slash - 1)));
        if (control == "ProtocolVersionCmb" || control == "ClientIDEdit") continue;   // the run sets both
        std::string value = IniValue(line.substr(eq + 1));
        if (value == "true" || value == "false") value = value == "true" ? "on" : "off";
        if (!AddSetLine(lines, name, control, value, error)) return false;
    }
    if (!found) {
        error = "no profile " + name + " in " + settingsFile;
        return false;
    }
    // The password, when the profile kept one.
    const std::string passwordFile = directory + "/passwords.json";
    if (!ReadFile(passwordFile, text)) return true;
    const nlohmann::json passwords = nlohmann::json::parse(text, nullptr, false);
    if (!passwords.is_object()) {
        error = "cannot read the passwords in " + passwordFile;
        return false;
    }
    const auto password = passwords.find(name);
    if (password == passwords.end() || !password->is_string()) return true;
    return AddSetLine(lines, name, "PasswordEdit", password->get<std::string>(), error);
}
