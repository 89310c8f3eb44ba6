// The three screens of the window, with every fixed text and symbol that
// belongs to a screen: its header and its sidebar row.
#pragma once

#include <array>
#include <optional>

#include <QString>

namespace tarnwell {

enum class DesktopDestination { overview, sync, activity };

namespace desktop_destination {

// Every screen in sidebar order.
inline constexpr std::array<DesktopDestination, 3> allCases = {
    DesktopDestination::overview, DesktopDestination::sync, DesktopDestination::activity};

// "overview", "sync", "activity"; also the screen's id.
QString rawValue(DesktopDestination destination);
QString id(DesktopDestination destination);
// The screen with exactly this raw value (case-sensitive), or none.
std::optional<DesktopDestination> fromRawValue(const QString& raw);

// Header texts.
QString eyebrow(DesktopDestination destination);
QString title(DesktopDestination destination);
QString subtitle(DesktopDestination destination);
// Sidebar row.
QString sidebarTitle(DesktopDestination destination);
QString sidebarDetail(DesktopDestination destination);
// The symbol's name in the platform-independent symbol vocabulary
// ("square.grid.2x2"); the view kit maps it to an icon.
QString systemImage(DesktopDestination destination);

} // namespace desktop_destination
} // namespace tarnwell
