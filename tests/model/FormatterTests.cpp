// The display texts: durations, the time estimate, the pills, the folder
// labels and counters, and the screen list.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "Model/DesktopAppModel.hpp"

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace tarnwell {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

TEST(FormatDuration, ExamplesAndHostileInput) {
    const std::pair<double, const char*> table[] = {
        {0, "0s"},          {0.2, "1s"},         {59, "59s"},          {59.2, "1m 0s"},
        {3599, "59m 59s"},  {3600, "1h 0m"},     {3661, "1h 1m"},      {-1, "--"},
        {90061, "25h 1m"},  {-0.0, "0s"},        {450, "7m 30s"},
    };
    for (const auto& [seconds, text] : table) EXPECT_EQ(DesktopAppModel::formatDuration(seconds), text) << seconds;
    const double inf = std::numeric_limits<double>::infinity();
    for (double hostile : {inf, -inf, std::nan(""), -std::numeric_limits<double>::max(),
                           -std::numeric_limits<double>::denorm_min()}) {
        EXPECT_EQ(DesktopAppModel::formatDuration(hostile), "--") << hostile;
    }
    // Too large to count in whole seconds in 64 bits: no wrap into a negative
    // or a bogus count.
    for (double huge : {9223372036854775807.0, 1e19, 1e300, std::numeric_limits<double>::max()}) {
        EXPECT_EQ(DesktopAppModel::formatDuration(huge), "--") << huge;
    }
    EXPECT_EQ(DesktopAppModel::formatDuration(9223372036854774784.0), "2562047788015215h 13m");
}

IndexingProgressSnapshot progress(std::optional<std::int64_t> total, std::int64_t scanned, bool active,
                                  std::optional<Timestamp> started) {
    return IndexingProgressSnapshot{total, scanned, active, started};
}

TEST(IndexEta, Rules) {
    const Timestamp now = Clock::now();
    struct Row {
        IndexingProgressSnapshot progress;
        const char* text;
    } table[] = {
        {progress(std::nullopt, 5, true, now - 10s), "--"},
        {progress(10, 10, false, now - 10s), "Done"},
        {progress(10, 12, false, std::nullopt), "Done"},     // more scanned than counted
        {progress(10, 3, false, now - 10s), "--"},           // inactive, not done
        {progress(10, 3, true, std::nullopt), "--"},         // no start time
        {progress(10, 1, true, now - 10s), "--"},            // one file gives no rate
        {progress(1000, 100, true, now - 50s), "7m 30s"},    // 2 files/s, 900 left
        {progress(10, 10, true, now - 5s), "0s"},            // active: a duration, not "Done"
        {progress(10, 2, true, now + 1h), "4s"},             // clock moved back: 1 second elapsed
        {progress(std::numeric_limits<std::int64_t>::max(), 2, true, now - std::chrono::hours(24 * 365 * 100)), nullptr},
    };
    for (const Row& row : table) {
        const QString text = DesktopAppModel::indexEtaText(row.progress, now);
        if (row.text) {
            EXPECT_EQ(text, row.text);
        } else {
            EXPECT_FALSE(text.isEmpty());
        }
    }
}

TEST(IngestPill, Rules) {
    const Timestamp now = Clock::now();
    auto status = [](std::int64_t q, std::int64_t r, std::int64_t e, std::optional<Timestamp> oldest) {
        return std::optional<IngestStatusSnapshot>(IngestStatusSnapshot{q, r, e, oldest, std::nullopt});
    };
    using K = StatusPillKind;
    const struct {
        std::optional<IngestStatusSnapshot> status;
        StatusPillPresentation pill;
    } table[] = {
        {std::nullopt, {"Ingestion: Unknown", K::muted}},
        {status(10, 0, 3, now - 5h), {"Ingestion: Errors (3)", K::error}},
        {status(4, 0, 0, now - 9min - 59s), {"Ingestion: Active (4 queued)", K::ok}},
        {status(4, 0, 0, now - 10min), {"Ingestion: Worker not running (4 queued, 10m)", K::warn}},
        {status(4, 0, 0, std::nullopt), {"Ingestion: Active (4 queued)", K::ok}},
        {status(4, 1, 0, now - 24h), {"Ingestion: Active (1 running, 4 queued)", K::ok}},
        {status(0, 2, 0, std::nullopt), {"Ingestion: Active (2 running)", K::ok}},
        {status(0, 0, 0, now - 24h), {"Ingestion: Idle", K::muted}},
        {status(4, 0, 0, now + 1h), {"Ingestion: Active (4 queued)", K::ok}},
    };
    for (const auto& row : table) {
        EXPECT_EQ(DesktopStatusFormatter::ingestPresentation(row.status, now), row.pill) << row.pill.text.toStdString();
    }
}

TEST(FolderTexts, LabelsSummariesAndCounters) {
    const QString home = "/home/ada";
    EXPECT_EQ(DesktopStatusFormatter::folderLabel(home, home, "/"), "Home (all folders) - /home/ada");
    EXPECT_EQ(DesktopStatusFormatter::folderLabel("/home/ada/", home, "/"), "/home/ada/");
    EXPECT_EQ(DesktopStatusFormatter::folderLabel("/", home, "/"), "All files (full disk) - /");
    EXPECT_EQ(DesktopStatusFormatter::folderLabel("/x", "/x", "/x"), "Home (all folders) - /x");
    EXPECT_EQ(DesktopStatusFormatter::folderLabel("/x", std::nullopt, std::nullopt), "/x");

    namespace P = DesktopPresentationFormatter;
    EXPECT_EQ(P::folderSelectionSummary({}, home, "/"), "No folders selected");
    EXPECT_EQ(P::folderSelectionSummary({home}, home, "/"), "Home (all folders) - /home/ada");
    EXPECT_EQ(P::folderSelectionSummary({"/a", "/b"}, home, "/"), "2 folders selected");
    EXPECT_EQ(P::folderCountText(1), "1 folder");
    EXPECT_EQ(P::folderCountText(0), "0 folders");
    EXPECT_EQ(P::folderCountText(1234), "1234 folders");

    EXPECT_EQ(P::indexedFilesText(progress(std::nullopt, 0, false, std::nullopt)), "--");
    EXPECT_EQ(P::indexedFilesText(progress(std::nullopt, 7, true, std::nullopt)), "7");
    EXPECT_EQ(P::indexedFilesText(progress(0, 0, false, std::nullopt)), "0 / 0");
    EXPECT_EQ(P::indexedFilesText(progress(300, 310, false, std::nullopt)), "300 / 300");
    EXPECT_EQ(P::indexedFilesText(progress(200, 50, true, std::nullopt)), "50 / 200");
    EXPECT_EQ(P::indexingFraction(progress(std::nullopt, 0, false, std::nullopt)), std::nullopt);
    EXPECT_EQ(P::indexingFraction(progress(0, 0, false, std::nullopt)), std::nullopt);
    EXPECT_EQ(P::indexingFraction(progress(200, 50, true, std::nullopt)), 0.25);
    EXPECT_EQ(P::indexingFraction(progress(200, 500, true, std::nullopt)), 1.0);
    EXPECT_EQ(P::indexingFraction(progress(200, -5, true, std::nullopt)), 0.0);
}

TEST(Destinations, RawValuesAndTexts) {
    namespace D = desktop_destination;
    ASSERT_EQ(D::allCases.size(), 3u);
    EXPECT_EQ(D::allCases.front(), DesktopDestination::overview);
    EXPECT_EQ(D::fromRawValue("sync"), DesktopDestination::sync);
    for (const char* bad : {"Sync", "SYNC", "", "overview "}) EXPECT_EQ(D::fromRawValue(bad), std::nullopt) << bad;
    for (DesktopDestination d : D::allCases) {
        EXPECT_EQ(D::id(d), D::rawValue(d));
        EXPECT_EQ(D::fromRawValue(D::rawValue(d)), d);
        EXPECT_FALSE(D::sidebarDetail(d).isEmpty());
    }
    EXPECT_EQ(D::title(DesktopDestination::sync), "Choose what this computer should keep moving.");
    EXPECT_EQ(D::systemImage(DesktopDestination::activity), "waveform.path.ecg.rectangle");
}

} // namespace
} // namespace tarnwell
