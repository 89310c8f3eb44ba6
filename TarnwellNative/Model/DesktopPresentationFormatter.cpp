#include "Model/DesktopPresentationFormatter.hpp"

#include <algorithm>
#include <chrono>

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>

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

QString mediumDateShortTime(Timestamp when) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms).toLocalTime();
    const QLocale locale;
    // Medium date: the long format without the weekday, months abbreviated.
    QString dateFormat = locale.dateFormat(QLocale::LongFormat);
    dateFormat.remove(QRegularExpression(QStringLiteral("dddd[,.]?\\s*")));
    dateFormat.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    // Short time; some locales' short format carries seconds.
    QString timeFormat = locale.timeFormat(QLocale::ShortFormat);
    timeFormat.remove(QRegularExpression(QStringLiteral("[:.]ss?")));
    const QString joiner = locale.language() == QLocale::English ? QStringLiteral(" at ") : QStringLiteral(" ");
    return locale.toString(local.date(), dateFormat.trimmed()) + joiner + locale.toString(local.time(), timeFormat.trimmed());
}

} // namespace tarnwell::DesktopPresentationFormatter
