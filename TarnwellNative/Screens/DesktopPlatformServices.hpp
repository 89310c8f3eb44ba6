// The window's side of the model's two platform needs: the folder chooser
// over the desktop's folder dialog, and opening an address in the browser.
#pragma once

#include <QPointer>
#include <QWidget>

#include "Model/FolderChooser.hpp"
#include "Model/URLOpener.hpp"

namespace tarnwell {

// A modal folder dialog over the window: folders only, one at a time, the
// accept button reading "Add Folder".
class DesktopFolderChooser : public FolderChooser {
public:
    // The dialog is window-modal to `parentWindow` when one is set.
    void setParentWindow(QWidget* parentWindow) { parent_ = parentWindow; }
    std::optional<QString> chooseFolder() override;

private:
    QPointer<QWidget> parent_;
};

// Hands the address to the desktop's default browser.
class DesktopURLOpener : public URLOpener {
public:
    bool openURL(const QString& url) override;
};

} // namespace tarnwell
