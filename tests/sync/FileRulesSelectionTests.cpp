// Supported types, MIME types and the exclusion rules, without touching disk.
#include "Sync/FileRules.hpp"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace tarnwell {
namespace {

TEST(FileRulesSelection, SupportedExtensionsAndMimeTypes) {
    const std::vector<std::pair<std::string, std::string>> supported = {
        {"/r/a.pdf", "application/pdf"},
        {"/r/Report.PDF", "application/pdf"},
        {"/r/a.docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"/r/a.txt", "text/plain"},
        {"/r/notes.MD", "text/plain"},
        {"/r/a.csv", "text/csv"},
        {"/r/a.Rtf", "application/rtf"},
        {"/r/book.epub", "application/epub+zip"},
        {"/r/archive.tar.txt", "text/plain"},
    };
    for (const auto& [path, mime] : supported) {
        EXPECT_TRUE(FileRules::isSupported(path)) << path;
        EXPECT_EQ(FileRules::mimeType(path), mime) << path;
    }

    for (const char* path : {"/r/README", "/r/a.doc", "/r/a.pdf.zip", "/r/pdf", "/r/a.", "/r/.pdf",
                             "/r/a.p\xC3\xB0" "f", "/r/dir.pdf/inner"}) {
        EXPECT_FALSE(FileRules::isSupported(path)) << path;
        EXPECT_EQ(FileRules::mimeType(path), "application/octet-stream") << path;
    }
}

TEST(FileRulesSelection, PathExtension) {
    EXPECT_EQ(FileRules::pathExtension("archive.tar.gz"), "gz");
    EXPECT_EQ(FileRules::pathExtension("README"), "");
    EXPECT_EQ(FileRules::pathExtension("name."), "");
    EXPECT_EQ(FileRules::pathExtension(".profile"), "");
    EXPECT_EQ(FileRules::pathExtension(".config.json"), "json");
    EXPECT_EQ(FileRules::pathExtension("Caf\xC3\xA9.PDF"), "PDF");
}

TEST(FileRulesSelection, ShouldSkipTestsOnlyComponentsBelowTheRoot) {
    struct Case {
        const char* entry;
        const char* root;
        bool skipped;
    };
    const std::vector<Case> cases = {
        // Excluded folders anywhere below the root, also as a file's own name.
        {"/r/node_modules", "/r", true},
        {"/r/a/node_modules/b/c.txt", "/r", true},
        {"/r/Library/x.pdf", "/r", true},
        {"/r/library/x.pdf", "/r", false},
        {"/r/docs/Music", "/r", true},
        {"/r/Photos Library.photoslibrary", "/r", true},
        {"/r/Photo Booth Library/a.pdf", "/r", true},
        // The root's own components are not tested.
        {"/Users/u/Library/Docs/a.pdf", "/Users/u/Library/Docs", false},
        {"/r/node_modules", "/r/node_modules", false},
        // Components of /a/x/a/b.txt below /a are x, a and b.txt.
        {"/a/x/a/b.txt", "/a", false},
        {"/a/x/Library/b.txt", "/a", true},
        // Excluded names are exact.
        {"/r/.DS_Store", "/r", true},
        {"/r/.ds_store", "/r", false},
        {"/r/x/.localized", "/r", true},
        // Suffixes on the lowercased name, folders included.
        {"/r/movie.pdf.crdownload", "/r", true},
        {"/r/Server.LOG", "/r", true},
        {"/r/data.LOCK", "/r", true},
        {"/r/x.tmp", "/r", true},
        {"/r/Old.PhotosLibrary/a.pdf", "/r", false}, // only the last name takes the suffix test
        {"/r/Old.PhotosLibrary", "/r", true},
        {"/r/My.musiclibrary", "/r", true},
        {"/r/lib.itl", "/r", true},
        {"/r/app.pid", "/r", true},
        {"/r/s.socket", "/r", true},
        {"/r/log.pdf", "/r", false},
        {"/r/catalog", "/r", false},
        // Non-ASCII names are lowercased fully (Kelvin sign to "k"), once
        // for every ending, whichever of them matches.
        {"/r/a.SOC\xE2\x84\xAA", "/r", true},
        {"/r/R\xC3\xA9sum\xC3\xA9.TMP", "/r", true},
        {"/r/\xC3\x89t\xC3\xA9.PhotosLibrary", "/r", true},
        {"/r/R\xC3\xA9sum\xC3\xA9.txt", "/r", false},
        {"/r/\xC3\xA9.lo", "/r", false},
        // The root itself and a root given with a trailing "/".
        {"/r", "/r", false},
        {"/r/Library", "/r/", true},
        // The whole disk.
        {"/Users/u/Library", "/", true},
        {"/Users/u/Library/Prefs/a.pdf", "/", true},
        {"/opt/x/y/node_modules/z.md", "/", true},
        {"/Users/u/Documents/a.pdf", "/", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FileRules::shouldSkip(c.entry, c.root), c.skipped) << c.entry << " below " << c.root;
    }
}

TEST(FileRulesSelection, ShouldSkipDirectoryForWatches) {
    for (const char* name : {".git", ".hidden", "node_modules", "Library", "Music", "System", "Applications",
                             "Old.photoslibrary", "Cache.TMP", "Caf\xC3\xA9.Swp"}) {
        EXPECT_TRUE(FileRules::shouldSkipDirectory(name)) << name;
    }
    for (const char* name : {"library", "Documents", "proc", "run", "Caf\xC3\xA9"}) {
        EXPECT_FALSE(FileRules::shouldSkipDirectory(name)) << name;
    }
    for (const char* name : {"proc", "sys", "dev", "run"}) {
        EXPECT_TRUE(FileRules::shouldSkipDirectory(name, true)) << name;
    }
    EXPECT_FALSE(FileRules::shouldSkipDirectory("home", true));
}

} // namespace
} // namespace tarnwell
