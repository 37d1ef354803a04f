#pragma once

#include <string>
#include <string_view>

// The peers' --uo-data DIR: the game's data folder, made absolute (the program runs elsewhere).
// False, with the reason in `error`, when it is not an existing folder or cannot travel in a
// GAMEFOLDER frame (over 4,096 bytes once absolute, or not UTF-8).
bool ParseGameFolderOption(std::string_view text, std::string& folder, std::string& error);
