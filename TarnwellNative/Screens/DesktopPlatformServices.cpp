#include "Screens/DesktopPlatformServices.hpp"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QUrl>

namespace tarnwell {

std::optional<QString> DesktopFolderChooser::chooseFolder() {
    QFileDialog dialog(parent_);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Add Folder"));
    dialog.setWindowTitle(QStringLiteral("Add Folder"));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.front().isEmpty()) return std::nullopt;
    return QDir::cleanPath(chosen.front());
}

bool DesktopURLOpener::openURL(const QString& url) {
    const QUrl address(url);
    if (!address.isValid() || address.isEmpty()) return false;
    return QDesktopServices::openUrl(address);
}

} // namespace tarnwell
