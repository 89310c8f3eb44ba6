#include "Model/DesktopDestination.hpp"

namespace tarnwell::desktop_destination {

QString rawValue(DesktopDestination destination) {
    switch (destination) {
    case DesktopDestination::overview: return QStringLiteral("overview");
    case DesktopDestination::sync: return QStringLiteral("sync");
    case DesktopDestination::activity: return QStringLiteral("activity");
    }
    return QStringLiteral("overview");
}

QString id(DesktopDestination destination) { return rawValue(destination); }

std::optional<DesktopDestination> fromRawValue(const QString& raw) {
    for (DesktopDestination destination : allCases) {
        if (rawValue(destination) == raw) return destination;
    }
    return std::nullopt;
}

QString eyebrow(DesktopDestination destination) {
    switch (destination) {
    case DesktopDestination::overview: return QStringLiteral("PRIVATE CONTEXT INFRASTRUCTURE");
    case DesktopDestination::sync: return QStringLiteral("LOCAL SYNC WORKSPACE");
    case DesktopDestination::activity: return QStringLiteral("RUNTIME + HANDOFF");
    }
    return {};
}

QString title(DesktopDestination destination) {
    switch (destination) {
    case DesktopDestination::overview: return QStringLiteral("Your files, searchable and chat-ready.");
    case DesktopDestination::sync: return QStringLiteral("Choose what this computer should keep moving.");
    case DesktopDestination::activity: return QStringLiteral("Track what the native agent is doing.");
    }
    return {};
}

QString subtitle(DesktopDestination destination) {
    switch (destination) {
    case DesktopDestination::overview:
        return QStringLiteral(
            "Stay on top of sync health, indexing progress, and the handoff into the dashboard.");
    case DesktopDestination::sync:
        return QStringLiteral(
            "Pick folders, adjust throughput, and start or stop the local sync worker without losing context.");
    case DesktopDestination::activity:
        return QStringLiteral("Review live logs, failed uploads, and ingestion warnings in one place.");
    }
    return {};
}

QString sidebarTitle(DesktopDestination destination) {
    switch (destination) {
    case DesktopDestination::overview: return QStringLiteral("Control center");
    case DesktopDestination::sync: return QStringLiteral("Sync setup");
    case DesktopDestination::activity: return QStringLiteral("Activity");
    }
    return {};
}

QString sidebarDetail(DesktopDestination destination) {
    switch (destination) {
    case DesktopDestination::overview: return QStringLiteral("Run state, progress, and ingestion");
    case DesktopDestination::sync: return QStringLiteral("Folders, speed, and controls");
    case DesktopDestination::activity: return QStringLiteral("Logs, retries, and warnings");
    }
    return {};
}

QString systemImage(DesktopDestination destination) {
    switch (destination) {
    case DesktopDestination::overview: return QStringLiteral("square.grid.2x2");
    case DesktopDestination::sync: return QStringLiteral("arrow.triangle.2.circlepath.circle");
    case DesktopDestination::activity: return QStringLiteral("waveform.path.ecg.rectangle");
    }
    return {};
}

} // namespace tarnwell::desktop_destination
