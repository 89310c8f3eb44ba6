#include "ViewKit/DesktopSymbols.hpp"

#include <QDir>
#include <QPainter>
#include <QStringList>
#include <QtGlobal>
#include <map>
#include <mutex>

namespace tarnwell::DesktopSymbols {

namespace {
const std::map<QString, QString>& table() {
    static const std::map<QString, QString> names{
        {QStringLiteral("sparkles"), QStringLiteral("starred-symbolic")},
        {QStringLiteral("checkmark.circle.fill"), QStringLiteral("emblem-ok-symbolic")},
        {QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("dialog-warning-symbolic")},
        {QStringLiteral("xmark.octagon.fill"), QStringLiteral("dialog-error-symbolic")},
        {QStringLiteral("info.circle.fill"), QStringLiteral("help-about-symbolic")},
        {QStringLiteral("folder"), QStringLiteral("folder-symbolic")},
        {QStringLiteral("house"), QStringLiteral("user-home-symbolic")},
        {QStringLiteral("externaldrive"), QStringLiteral("drive-harddisk-symbolic")},
        {QStringLiteral("square.grid.2x2"), QStringLiteral("view-app-grid-symbolic")},
        {QStringLiteral("arrow.triangle.2.circlepath.circle"),
         QStringLiteral("emblem-synchronizing-symbolic")},
        {QStringLiteral("waveform.path.ecg.rectangle"), QStringLiteral("utilities-terminal-symbolic")},
        {QStringLiteral("play.fill"), QStringLiteral("media-playback-start-symbolic")},
        {QStringLiteral("stop.fill"), QStringLiteral("media-playback-stop-symbolic")},
        {QStringLiteral("arrow.clockwise"), QStringLiteral("view-refresh-symbolic")},
        {QStringLiteral("person.crop.circle"), QStringLiteral("avatar-default-symbolic")},
    };
    return names;
}
}  // namespace

QString iconName(const QString& symbol) {
    const auto& names = table();
    const auto found = names.find(symbol);
    return found == names.end() ? QString() : found->second;
}

void installIconTheme() {
    static std::once_flag once;
    std::call_once(once, [] {
        QStringList paths = QIcon::themeSearchPaths();
        QString dataDirs = qEnvironmentVariable("XDG_DATA_DIRS");
        if (dataDirs.isEmpty()) {
            dataDirs = QStringLiteral("/usr/local/share:/usr/share");
        }
        for (const QString& dir : dataDirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
            const QString iconDir = QDir(dir).filePath(QStringLiteral("icons"));
            if (!paths.contains(iconDir)) {
                paths.append(iconDir);
            }
        }
        QIcon::setThemeSearchPaths(paths);
        if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor")) {
            QIcon::setThemeName(QStringLiteral("Adwaita"));
        }
        QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
    });
}

QIcon icon(const QString& symbol) {
    installIconTheme();
    const QString name = iconName(symbol);
    return name.isEmpty() ? QIcon() : QIcon::fromTheme(name);
}

QPixmap tinted(const QString& symbol, int size, const QColor& color, qreal devicePixelRatio) {
    const QIcon source = icon(symbol);
    const int pixels = qRound(size * devicePixelRatio);
    QPixmap result(pixels, pixels);
    result.fill(Qt::transparent);
    if (!source.isNull()) {
        QPainter painter(&result);
        painter.drawPixmap(0, 0, source.pixmap(QSize(pixels, pixels)));
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(result.rect(), color);
    }
    result.setDevicePixelRatio(devicePixelRatio);
    return result;
}

}  // namespace tarnwell::DesktopSymbols
