#pragma once

#include "FileChooser.h"

// The system's file dialogs with the filter "xmlデータ(*.xml)" and the default suffix "xml".
// They have no owner window, so the main dialog stays usable while one is open; neither changes
// the working folder.
class DialogFileChooser final : public FileChooser {
public:
    std::optional<QString> ChooseOpenPath() override;
    std::optional<QString> ChooseSavePath() override;
};
