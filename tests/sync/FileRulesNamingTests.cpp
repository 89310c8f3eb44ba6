// Logical paths, root tags, safe segments and storage keys.
#include "Sync/FileRules.hpp"

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <unicode/locid.h>

namespace tarnwell {
namespace {

const std::string userID = "3f2b8c1e-5d4a-4e6f-9a7b-1c2d3e4f5a6b";
const std::filesystem::path archiveRoot = "/Volumes/Archive/Projects";
// "Café Menu (final).PDF" with a precomposed é (U+00E9).
const std::string cafeName = "Caf\xC3\xA9 Menu (final).PDF";

TEST(FileRulesNaming, WorkedExampleByteForByte) {
    const std::filesystem::path file = archiveRoot / "Q3 Plans" / cafeName;

    const std::string logical = FileRules::logicalPath(file, archiveRoot);
    EXPECT_EQ(logical, "Q3 Plans/" + cafeName);
    EXPECT_EQ(FileRules::rootTag(archiveRoot), "0420d7bd");
    EXPECT_EQ(FileRules::safeSegment("Q3 Plans"), "q3-plans-ba0d6f7a");
    EXPECT_EQ(FileRules::safeSegment(cafeName), "cafe-menu-final-e28de641.PDF");
    EXPECT_EQ(FileRules::buildStorageKey(userID, archiveRoot, logical),
              "user-3f2b8c1e-5d4a-4e6f-9a7b-1c2d3e4f5a6b/root-0420d7bd/q3-plans-ba0d6f7a/cafe-menu-final-e28de641.PDF");
    EXPECT_EQ(FileRules::legacyStorageKey(userID, logical),
              "user-3f2b8c1e-5d4a-4e6f-9a7b-1c2d3e4f5a6b/q3-plans-ba0d6f7a/cafe-menu-final-e28de641.PDF");
}

TEST(FileRulesNaming, SafeSegmentTable) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        // The documented examples.
        {"archive.tar.gz", "archive-tar-e2ff6326.gz"},
        {"---.txt", "file-4719a1f3.txt"},
        {"日本語.md", "日本語-d612b4cc.md"},
        {"R\xC3\xA9sum\xC3\xA9_2024-final.docx", "resume-2024-final-9c733005.docx"},
        {"notes", "notes-4358b500"},
        // Case only: same base, tags from the names as given.
        {"Notes.txt", "notes-0fd00173.txt"},
        {"notes.txt", "notes-a5d5286f.txt"},
        // A decomposed é folds to the same base; the tag sees other bytes.
        {"Cafe\xCC\x81 Menu (final).PDF", "cafe-menu-final-d8a385b0.PDF"},
        // Full case folding, Greek sigma, Hangul recomposed after folding.
        {"Stra\xC3\x9F" "e.txt", "strasse-db478904.txt"},
        {"ΣΟΦΟΣ.txt", "σοφοσ-e96c8f7d.txt"},
        {"한국어.txt", "한국어-267f7b4b.txt"},
        // Symbols and punctuation become single "-", trimmed at the ends.
        {"🎉 party.md", "party-3431e46a.md"},
        {"__init__.py", "init-743b1adb.py"},
        {"a b", "a-b-0cc9cd4d"},
        // The extension is appended unchanged, but for control characters:
        // each run of them (C0, DEL, C1) becomes one "-".
        {"Report 2024.\xC3\x9C x", "report-2024-bc18e2be.\xC3\x9C x"},
        {"Minutes.2024\n", "minutes-4a93d48d.2024-"},
        {"notes.a\r\n\tb", "notes-aa8eef76.a-b"},
        {"x.a\xC2\x85" "b\x7F", "x-c8ebad39.a-b-"},
        // A leading "." starts no extension; a trailing "." leaves none.
        {".profile", "profile-593308ff"},
        {"file.", "file-72bc206a"},
        {"..", "file-58b9e70b"},
        // Every ASCII character but "." and "/", then CR LF.
        {std::string("\x01\x02\x03\x04\x05\x06\x07\x08\t\n\x0B\x0C\r\x0E\x0F\x10\x11\x12\x13\x14\x15\x16\x17"
                     "\x18\x19\x1A\x1B\x1C\x1D\x1E\x1F !\"#$%&'()*+,-0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                     "[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~\x7F\r\nEnd.txt"),
         "0123456789-abcdefghijklmnopqrstuvwxyz-abcdefghijklmnopqrstuvwxyz-end-16dfd83e.txt"},
        {"--A--", "a-88892a63"},
        {"\r\n", "file-81051bcc"},
        // Not UTF-8: still a segment, never a crash.
        {"bad\xFF.txt", "bad-ad7f582e.txt"},
    };
    for (const auto& [segment, expected] : cases) {
        EXPECT_EQ(FileRules::safeSegment(segment), expected) << segment;
    }
}

TEST(FileRulesNaming, SafeSegmentsDoNotDependOnTheLocale) {
    const icu::Locale previous = icu::Locale::getDefault();
    UErrorCode status = U_ZERO_ERROR;
    for (const char* locale : {"tr_TR", "az_AZ", "lt_LT", "en_US"}) {
        icu::Locale::setDefault(icu::Locale(locale), status);
        EXPECT_EQ(FileRules::safeSegment("Istanbul.txt"), "istanbul-b26313f4.txt") << locale;
        EXPECT_EQ(FileRules::safeSegment("\xC4\xB0zmir.md"), "izmir-6dc3f5fb.md") << locale;
    }
    icu::Locale::setDefault(previous, status);
}

TEST(FileRulesNaming, SafeSegmentsFromManyThreadsAtOnce) {
    const std::vector<std::string> names = {cafeName, "日本語.md", "Stra\xC3\x9F" "e.txt", "🎉 party.md", "한국어.txt"};
    std::vector<std::string> expected;
    for (const std::string& name : names) expected.push_back(FileRules::safeSegment(name));

    std::vector<int> mismatches(8, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 200; ++round) {
                for (std::size_t i = 0; i < names.size(); ++i) {
                    if (FileRules::safeSegment(names[i]) != expected[i]) ++mismatches[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(8, 0));
}

TEST(FileRulesNaming, SanitizedPathsDropEmptyComponents) {
    EXPECT_EQ(FileRules::sanitizeRelativePath("Q3 Plans/" + cafeName),
              "q3-plans-ba0d6f7a/cafe-menu-final-e28de641.PDF");
    EXPECT_EQ(FileRules::sanitizeRelativePath("/Q3 Plans//" + cafeName + "/"),
              FileRules::sanitizeRelativePath("Q3 Plans/" + cafeName));
    EXPECT_EQ(FileRules::sanitizeRelativePath(""), "");
    EXPECT_EQ(FileRules::sanitizeRelativePath("///"), "");
    // An empty logical path gives a key ending in "/".
    EXPECT_EQ(FileRules::legacyStorageKey("u", ""), "user-u/");
    EXPECT_EQ(FileRules::buildStorageKey("u", archiveRoot, ""), "user-u/root-0420d7bd/");
}

TEST(FileRulesNaming, StorageKeysAcrossRoots) {
    const std::string logical = "Q3 Plans/" + cafeName;
    const std::filesystem::path otherRoot = "/Volumes/Other";
    EXPECT_EQ(FileRules::rootTag(otherRoot), "50372166");
    EXPECT_NE(FileRules::buildStorageKey(userID, archiveRoot, logical),
              FileRules::buildStorageKey(userID, otherRoot, logical));
    EXPECT_EQ(FileRules::legacyStorageKey(userID, logical), FileRules::legacyStorageKey(userID, logical));

    // A given root id takes the place of the tag; the user id is not sanitised.
    EXPECT_EQ(FileRules::buildStorageKey("Some User", archiveRoot, "a.txt", std::string("custom")),
              "user-Some User/root-custom/a-a5e54d1f.txt");
}

TEST(FileRulesNaming, RootTagUsesTheStandardizedPath) {
    for (const char* spelling : {"/Volumes/Archive/Projects/", "/Volumes/Archive/./Projects",
                                 "/Volumes/Archive/Old/../Projects", "/Volumes//Archive/Projects"}) {
        EXPECT_EQ(FileRules::rootTag(spelling), "0420d7bd") << spelling;
    }
    EXPECT_EQ(FileRules::rootTag("/"), "6666cd76");
}

TEST(FileRulesNaming, StandardizedPath) {
    EXPECT_EQ(FileRules::standardizedPath("/a/./b/../c/"), "/a/c");
    EXPECT_EQ(FileRules::standardizedPath("/a//b"), "/a/b");
    EXPECT_EQ(FileRules::standardizedPath("/"), "/");
    EXPECT_EQ(FileRules::standardizedPath("/.."), "/");
    // Relative paths are taken against the working directory.
    EXPECT_EQ(FileRules::standardizedPath("x/../y"),
              FileRules::standardizedPath(std::filesystem::current_path() / "y"));
}

TEST(FileRulesNaming, LogicalPaths) {
    EXPECT_EQ(FileRules::logicalPath("/a/x/a/b.txt", "/a"), "x/a/b.txt");
    EXPECT_EQ(FileRules::logicalPath("/a/x/b.txt", "/a/"), "x/b.txt");
    // Below "/" the whole path is the logical path.
    EXPECT_EQ(FileRules::logicalPath("/Users/u/b.txt", "/"), "/Users/u/b.txt");
    EXPECT_EQ(FileRules::buildStorageKey("u", "/", FileRules::logicalPath("/Users/b.txt", "/")),
              "user-u/root-6666cd76/users-f9aae5fd/b-ce506ace.txt");
    // A sibling that merely shares the prefix is not below the root.
    EXPECT_EQ(FileRules::logicalPath("/a/Docs2/b.txt", "/a/Docs"), "/a/Docs2/b.txt");
}

} // namespace
} // namespace tarnwell
