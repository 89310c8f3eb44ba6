// Folder-selection summary, folder count, indexed-files counter and the
// indexing progress fraction.
#pragma once

#include <cstdint>
#include <optional>

#include <QString>
#include <QStringList>

#include "State/SharedModels.hpp"

namespace tarnwell::DesktopPresentationFormatter {

QString folderSelectionSummary(const QStringList& folders, const QString& homePath, const QString& rootPath);
QString folderCountText(std::int64_t count);
QString indexedFilesText(const IndexingProgressSnapshot& progress);
// Between 0 and 1; none while no positive total is known.
std::optional<double> indexingFraction(const IndexingProgressSnapshot& progress);
// A moment as the user's locale writes a medium date and a short time
// ("Dec 8, 2026 at 2:04 PM"), in local time and without seconds.
QString mediumDateShortTime(Timestamp when);

} // namespace tarnwell::DesktopPresentationFormatter
