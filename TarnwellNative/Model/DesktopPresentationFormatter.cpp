#include "Model/DesktopPresentationFormatter.hpp"

#include <algorithm>

#include "Model/DesktopStatusFormatter.hpp"

namespace tarnwell::DesktopPresentationFormatter {

QString folderSelectionSummary(const QStringList& folders, const QString& homePath, const QString& rootPath) {
    if (folders.isEmpty()) return QStringLiteral("No folders selected");
    if (folders.size() == 1) return DesktopStatusFormatter::folderLabel(folders.front(), homePath, rootPath);
    return QString::number(folders.size()) + QStringLiteral(" folders selected");
}

QString folderCountText(std::int64_t count) {
    if (count == 1) return QStringLiteral("1 folder");
    return QString::number(count) + QStringLiteral(" folders");
}

QString indexedFilesText(const IndexingProgressSnapshot& progress) {
    if (!progress.totalFiles) {
        return progress.scannedFiles != 0 ? QString::number(progress.scannedFiles) : QStringLiteral("--");
    }
    const std::int64_t total = *progress.totalFiles;
    return QString::number(std::min(progress.scannedFiles, total)) + QStringLiteral(" / ") + QString::number(total);
}

std::optional<double> indexingFraction(const IndexingProgressSnapshot& progress) {
    if (!progress.totalFiles || *progress.totalFiles <= 0) return std::nullopt;
    const std::int64_t total = *progress.totalFiles;
    const std::int64_t scanned = std::clamp<std::int64_t>(progress.scannedFiles, 0, total);
    return static_cast<double>(scanned) / static_cast<double>(total);
}

} // namespace tarnwell::DesktopPresentationFormatter
