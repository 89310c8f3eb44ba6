// A short status text with the colour role it is drawn in.
#pragma once

#include <QString>

namespace tarnwell {

// The colour role of a chip, callout or status pill.
enum class StatusPillKind { accent, ok, warn, error, muted };

struct StatusPillPresentation {
    QString text;
    StatusPillKind kind = StatusPillKind::muted;

    friend bool operator==(const StatusPillPresentation&, const StatusPillPresentation&) = default;
};

} // namespace tarnwell
