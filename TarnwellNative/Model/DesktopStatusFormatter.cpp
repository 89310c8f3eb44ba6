#include "Model/DesktopStatusFormatter.hpp"

#include <chrono>

#include <QStringList>

namespace tarnwell::DesktopStatusFormatter {

StatusPillPresentation ingestPresentation(const std::optional<IngestStatusSnapshot>& status) {
    return ingestPresentation(status, std::chrono::system_clock::now());
}

StatusPillPresentation ingestPresentation(const std::optional<IngestStatusSnapshot>& status, Timestamp now) {
    if (!status) return {QStringLiteral("Ingestion: Unknown"), StatusPillKind::muted};
    if (status->errors > 0) {
        return {QStringLiteral("Ingestion: Errors (%1)").arg(status->errors), StatusPillKind::error};
    }
    if (status->queued > 0 && status->running == 0 && status->oldestQueuedAt) {
        // Whole minutes, truncated toward zero; a time in the future counts as 0.
        // A wait longer than the clock's range (a bogus time from the server)
        // counts as the longest one it can hold rather than wrapping around.
        Timestamp::rep ticks = 0;
        if (__builtin_sub_overflow(now.time_since_epoch().count(), status->oldestQueuedAt->time_since_epoch().count(),
                                   &ticks)) {
            ticks = *status->oldestQueuedAt < now ? Timestamp::duration::max().count() : 0;
        }
        const auto waited = std::chrono::duration_cast<std::chrono::minutes>(Timestamp::duration(ticks)).count();
        const std::int64_t minutes = waited < 0 ? 0 : static_cast<std::int64_t>(waited);
        if (minutes > 9) {
            return {QStringLiteral("Ingestion: Worker not running (%1 queued, %2m)").arg(status->queued).arg(minutes),
                    StatusPillKind::warn};
        }
    }
    if (status->queued <= 0 && status->running <= 0) return {QStringLiteral("Ingestion: Idle"), StatusPillKind::muted};
    QStringList parts;
    if (status->running > 0) parts << QStringLiteral("%1 running").arg(status->running);
    if (status->queued > 0) parts << QStringLiteral("%1 queued").arg(status->queued);
    return {QStringLiteral("Ingestion: Active (") + parts.join(QStringLiteral(", ")) + QLatin1Char(')'),
            StatusPillKind::ok};
}

QString folderLabel(const QString& path, const std::optional<QString>& homePath,
                    const std::optional<QString>& rootPath) {
    if (homePath && path == *homePath) return QStringLiteral("Home (all folders) - ") + path;
    if (rootPath && path == *rootPath) return QStringLiteral("All files (full disk) - ") + path;
    return path;
}

} // namespace tarnwell::DesktopStatusFormatter
