// The ingest status pill and the display label of one watched folder.
#pragma once

#include <optional>

#include <QString>

#include "Model/StatusPillPresentation.hpp"
#include "State/SharedModels.hpp"

namespace tarnwell::DesktopStatusFormatter {

// The pill for the hosted ingest counters; `now` decides how long the oldest
// queued job has waited.
StatusPillPresentation ingestPresentation(const std::optional<IngestStatusSnapshot>& status);
StatusPillPresentation ingestPresentation(const std::optional<IngestStatusSnapshot>& status, Timestamp now);

// "Home (all folders) - <path>", "All files (full disk) - <path>" or the path.
QString folderLabel(const QString& path, const std::optional<QString>& homePath,
                    const std::optional<QString>& rootPath);

} // namespace tarnwell::DesktopStatusFormatter
