// Display texts whose rules have edges: durations (also hostile input), the
// time estimate, the ingest pill's thresholds, folder labels and counters.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "Model/DesktopAppModel.hpp"

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace tarnwell {
namespace {

using namespace std::chrono_literals;
using P = IndexingProgressSnapshot;
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(FormatDuration, ExamplesAndHostileInput) {
    const std::pair<double, const char*> table[] = {
        {0, "0s"}, {0.2, "1s"}, {59, "59s"}, {59.2, "1m 0s"}, {3599, "59m 59s"}, {3600, "1h 0m"}, {3661, "1h 1m"},
        {-1, "--"}, {90061, "25h 1m"}, {inf, "--"}, {-inf, "--"}, {std::nan(""), "--"}, {-1e-320, "--"},
        // Past what 64 bits count in seconds: no wrap into a bogus count.
        {9223372036854775807.0, "--"}, {1e300, "--"}, {9223372036854774784.0, "2562047788015215h 13m"}};
    for (const auto& [seconds, text] : table) EXPECT_EQ(DesktopAppModel::formatDuration(seconds), text) << seconds;
}

TEST(IndexEta, Rules) {
    const Timestamp now = std::chrono::system_clock::now();
    const std::pair<P, const char*> table[] = {
        {P{std::nullopt, 5, true, now - 10s}, "--"},
        {P{10, 12, false, std::nullopt}, "Done"}, // more scanned than counted
        {P{10, 3, false, now - 10s}, "--"},
        {P{10, 3, true, std::nullopt}, "--"},
        {P{10, 1, true, now - 10s}, "--"},        // one file gives no rate
        {P{1000, 100, true, now - 50s}, "7m 30s"},
        {P{10, 10, true, now - 5s}, "0s"},        // still active: a duration, not "Done"
        {P{10, 2, true, now + 1h}, "4s"},         // clock moved back: 1 second elapsed
        {P{std::numeric_limits<std::int64_t>::max(), 2, true, now - 24h * 36500}, "--"}};
    for (const auto& [progress, text] : table) EXPECT_EQ(DesktopAppModel::indexEtaText(progress, now), text);
}

TEST(IngestPill, Thresholds) {
    const Timestamp now = std::chrono::system_clock::now();
    auto s = [](std::int64_t q, std::int64_t r, std::int64_t e, std::optional<Timestamp> oldest) {
        return std::optional<IngestStatusSnapshot>(IngestStatusSnapshot{q, r, e, oldest, std::nullopt});
    };
    using K = StatusPillKind;
    const std::pair<std::optional<IngestStatusSnapshot>, StatusPillPresentation> table[] = {
        {std::nullopt, {"Ingestion: Unknown", K::muted}},
        {s(10, 0, 3, now - 5h), {"Ingestion: Errors (3)", K::error}},
        {s(4, 0, 0, now - 9min - 59s), {"Ingestion: Active (4 queued)", K::ok}},
        {s(4, 0, 0, now - 10min), {"Ingestion: Worker not running (4 queued, 10m)", K::warn}},
        {s(4, 0, 0, std::nullopt), {"Ingestion: Active (4 queued)", K::ok}},
        {s(4, 1, 0, now - 24h), {"Ingestion: Active (1 running, 4 queued)", K::ok}},
        {s(0, 0, 0, now - 24h), {"Ingestion: Idle", K::muted}},
        {s(4, 0, 0, now + 1h), {"Ingestion: Active (4 queued)", K::ok}}, // clock skew never warns
        // Absurd times from the server: no wrap-around into the calm pill.
        {s(4, 0, 0, Timestamp::min()), {"Ingestion: Worker not running (4 queued, 153722867m)", K::warn}},
        {s(4, 0, 0, Timestamp::max()), {"Ingestion: Active (4 queued)", K::ok}}};
    for (const auto& [status, pill] : table)
        EXPECT_EQ(DesktopStatusFormatter::ingestPresentation(status, now), pill) << pill.text.toStdString();
}

TEST(FolderTexts, EdgesOfLabelsCountersAndScreens) {
    namespace F = DesktopPresentationFormatter;
    EXPECT_EQ(F::folderSelectionSummary({"/home/ada"}, "/home/ada", "/"), "Home (all folders) - /home/ada");
    EXPECT_EQ(DesktopStatusFormatter::folderLabel("/home/ada/", QString("/home/ada"), QString("/")), "/home/ada/");
    EXPECT_EQ(F::indexedFilesText(P{300, 310, false, std::nullopt}), "300 / 300");
    EXPECT_EQ(F::indexingFraction(P{0, 0, false, std::nullopt}), std::nullopt);
    EXPECT_EQ(F::indexingFraction(P{200, -5, true, std::nullopt}), 0.0);
    for (const char* bad : {"Sync", "", "overview "}) EXPECT_EQ(desktop_destination::fromRawValue(bad), std::nullopt);
}

} // namespace
} // namespace tarnwell
