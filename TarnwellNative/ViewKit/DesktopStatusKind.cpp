#include "ViewKit/DesktopStatusKind.hpp"

#include "ViewKit/DesktopPalette.hpp"

namespace tarnwell {

using DesktopPalette::withOpacity;

QColor statusKindColor(StatusPillKind kind) {
    switch (kind) {
    case StatusPillKind::accent: return DesktopPalette::accentDeep();
    case StatusPillKind::ok: return DesktopPalette::success();
    case StatusPillKind::warn: return DesktopPalette::warning();
    case StatusPillKind::error: return DesktopPalette::danger();
    case StatusPillKind::muted: return DesktopPalette::muted();
    }
    return DesktopPalette::muted();
}

StatusChipColors statusChipColors(StatusPillKind kind) {
    const QColor tone = statusKindColor(kind);
    switch (kind) {
    case StatusPillKind::accent:
        return {tone, DesktopPalette::text(), DesktopPalette::accentSoft(), withOpacity(tone, 0.36)};
    case StatusPillKind::muted:
        return {tone, DesktopPalette::muted(), DesktopPalette::surface(), DesktopPalette::border()};
    case StatusPillKind::ok:
    case StatusPillKind::warn:
    case StatusPillKind::error:
        break;
    }
    return {tone, DesktopPalette::text(), withOpacity(tone, 0.10), withOpacity(tone, 0.20)};
}

CalloutColors calloutColors(StatusPillKind kind) {
    const QColor tone = statusKindColor(kind);
    switch (kind) {
    case StatusPillKind::accent:
        return {QStringLiteral("sparkles"), tone, DesktopPalette::accentSoft(), withOpacity(tone, 0.24)};
    case StatusPillKind::ok:
        return {QStringLiteral("checkmark.circle.fill"), tone, withOpacity(tone, 0.08), withOpacity(tone, 0.18)};
    case StatusPillKind::warn:
        return {QStringLiteral("exclamationmark.triangle.fill"), tone, withOpacity(tone, 0.08),
                withOpacity(tone, 0.18)};
    case StatusPillKind::error:
        return {QStringLiteral("xmark.octagon.fill"), tone, withOpacity(tone, 0.08), withOpacity(tone, 0.18)};
    case StatusPillKind::muted:
        break;
    }
    return {QStringLiteral("info.circle.fill"), tone, DesktopPalette::surface(), DesktopPalette::border()};
}

}  // namespace tarnwell
