// The modal folder chooser the model asks when the user adds a folder. The
// window supplies one over its platform dialog (folders only, one item, the
// accept button "Add Folder"); tests supply a scripted one.
#pragma once

#include <optional>

#include <QString>

namespace tarnwell {

class FolderChooser {
public:
    virtual ~FolderChooser() = default;
    // Blocks until the user answers: the chosen folder's path, or none when
    // the chooser was cancelled.
    virtual std::optional<QString> chooseFolder() = 0;
};

} // namespace tarnwell
