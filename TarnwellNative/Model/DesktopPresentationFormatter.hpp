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

} // namespace tarnwell::DesktopPresentationFormatter
