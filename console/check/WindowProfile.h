#pragma once

#include <string>

// The folder of the window's settings: $XDG_CONFIG_HOME/Tarnwick, or
// ~/.config/Tarnwick without it.
std::string WindowSettingsDirectory();

// A connection profile the window saved in the folder, as set lines (without
// the protocol version and the ClientID, which a check run sets itself): its
// fields from tarnwick.conf, its password from passwords.json when one was
// kept. False with the reason in error.
bool WindowProfileLines(const std::string& directory, const std::string& name, std::string& lines,
                        std::string& error);
