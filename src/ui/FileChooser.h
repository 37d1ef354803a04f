#pragma once

#include <QString>

#include <optional>

// Where the Load and Save commands get their path. The program asks the user; tests answer.
class FileChooser {
public:
    virtual ~FileChooser() = default;
    // The file to load; none when the user cancelled. Only its folder needs to exist.
    virtual std::optional<QString> ChooseOpenPath() = 0;
    // The file to save to; none when the user cancelled. An existing file is chosen only after
    // the user agreed to replace it.
    virtual std::optional<QString> ChooseSavePath() = 0;
};
