#include "GameFolderOption.h"

#include "HookProtocol.h"

#include <filesystem>
#include <system_error>

bool ParseGameFolderOption(std::string_view text, std::string& folder, std::string& error) {
    const std::string given(text);
    std::error_code failed;
    const auto absolute = given.empty() ? std::filesystem::path() : std::filesystem::absolute(given, failed);
    if (given.empty() || failed || !std::filesystem::is_directory(absolute, failed)) {
        error = "--uo-data: \"" + given + "\" is not a folder";
        return false;
    }
    const std::string path = absolute.lexically_normal().string();
    if (!IsValidGameFolder(path)) {
        error =
            "--uo-data: the folder's path is not UTF-8 of at most " + std::to_string(kMaxGameFolderBytes) + " bytes";
        return false;
    }
    folder = path;
    return true;
}
