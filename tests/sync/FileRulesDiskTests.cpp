// The walk and the content digest against real folders in a temporary tree.
#include "Sync/FileRules.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stop_token>
#include <future>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace tarnwell {
namespace {

namespace fs = std::filesystem;

class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "file-rules-XXXXXX").native();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category());
        path_ = pattern;
        // Traversable by others, so that an unprivileged walk can run in it.
        fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        // Folders made unreadable by a test must be opened again to be removed.
        for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ignored);
             it != fs::recursive_directory_iterator(); it.increment(ignored)) {
            if (it->is_directory(ignored) && !it->is_symlink(ignored)) fs::permissions(it->path(), fs::perms::all, ignored);
        }
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void writeFile(const fs::path& path, const std::string& content = "x") {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> sorted(const std::vector<fs::path>& paths) {
    std::vector<std::string> out;
    for (const fs::path& p : paths) out.push_back(p.native());
    std::sort(out.begin(), out.end());
    return out;
}

// Root reads every folder whatever its mode, so as root the walk runs in a
// child process under the unprivileged "nobody" account.
FileRules::FileEnumerationResult enumerateUnprivileged(const fs::path& root) {
    if (::geteuid() != 0) return FileRules::enumerateFiles(root);
    int channel[2];
    if (::pipe(channel) != 0) throw std::system_error(errno, std::generic_category());
    pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        FileRules::FileEnumerationResult result = FileRules::enumerateFiles(root);
        std::string message;
        for (const fs::path& p : result.supportedFiles) message += "S" + p.native() + '\0';
        for (const fs::path& p : result.unsupportedFiles) message += "U" + p.native() + '\0';
        for (const auto& f : result.unreadableFolders) message += "R" + std::to_string(f.error) + "|" + f.path.native() + '\0';
        for (std::size_t sent = 0; sent < message.size();) {
            ssize_t n = ::write(channel[1], message.data() + sent, message.size() - sent);
            if (n <= 0) ::_exit(3);
            sent += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string message;
    char buffer[4096];
    for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) message.append(buffer, static_cast<std::size_t>(n));
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "walk as nobody failed";

    FileRules::FileEnumerationResult result;
    for (std::size_t start = 0; start < message.size();) {
        std::size_t end = message.find('\0', start);
        std::string entry = message.substr(start + 1, end - start - 1);
        if (message[start] == 'R') {
            const std::size_t bar = entry.find('|');
            result.unreadableFolders.push_back({entry.substr(bar + 1), std::stoi(entry.substr(0, bar))});
        } else {
            (message[start] == 'S' ? result.supportedFiles : result.unsupportedFiles).emplace_back(entry);
        }
        start = end + 1;
    }
    return result;
}

TEST(FileRulesWalk, AppliesEveryRuleToATree) {
    TemporaryFolder temp;
    const fs::path root = temp.path() / "Library" / "Docs"; // an excluded name above the root is harmless
    const fs::path outside = temp.path() / "outside";

    writeFile(root / "a.pdf");
    writeFile(root / "Report.PDF");
    writeFile(root / "README");
    writeFile(root / "photo.jpg");
    writeFile(root / "library" / "doc.pdf");
    writeFile(root / "sub" / "deeper" / "note.txt");
    writeFile(root / "sub" / "deeper" / "table.csv");
    // Excluded by suffix, by name and by folder.
    for (const char* name : {"movie.pdf.crdownload", "Server.LOG", "data.LOCK", "x.tmp", "Music", "Book.epub.part"}) {
        writeFile(root / name);
    }
    writeFile(root / "node_modules" / "pkg" / "readme.md");
    writeFile(root / "sub" / "Library" / "doc.pdf");
    writeFile(root / "Old.photoslibrary" / "a.pdf");
    writeFile(root / "Music Stuff" / "Music" / "lyrics.txt");
    // Hidden entries.
    writeFile(root / ".env");
    writeFile(root / ".hidden" / "inside.pdf");
    writeFile(root / "sub" / ".git" / "notes.md");
    writeFile(root / ".DS_Store");
    // Links are neither listed nor followed; special files are not listed.
    writeFile(outside / "elsewhere.pdf");
    fs::create_symlink(root / "a.pdf", root / "link.pdf");
    fs::create_symlink(root / "sub", root / "sub-link");
    fs::create_symlink(outside, root / "outside-link");
    fs::create_symlink(root / "missing.pdf", root / "dangling.pdf");
    ASSERT_EQ(::mkfifo((root / "pipe.txt").c_str(), 0644), 0);
    // Names that are not UTF-8 count as unsupported, also below such a folder.
    writeFile(root / "bad\xFF.pdf");
    writeFile(root / "dir\xFE" / "inner.pdf");
    writeFile(root / "dir\xFE" / "x.tmp");

    const FileRules::FileEnumerationResult result = FileRules::enumerateFiles(root);
    const std::string r = root.native();
    EXPECT_EQ(sorted(result.supportedFiles),
              (std::vector<std::string>{r + "/Report.PDF", r + "/a.pdf", r + "/library/doc.pdf",
                                        r + "/sub/deeper/note.txt", r + "/sub/deeper/table.csv"}));
    EXPECT_EQ(sorted(result.unsupportedFiles),
              (std::vector<std::string>{r + "/README", r + "/bad\xFF.pdf", r + "/dir\xFE/inner.pdf",
                                        r + "/photo.jpg"}));
    EXPECT_EQ(FileRules::listFiles(root), result.supportedFiles);

    // The same tree through a root spelled with a trailing "/", and through a
    // root that is itself a link.
    EXPECT_EQ(FileRules::enumerateFiles(r + "/"), result);
    fs::create_symlink(root, temp.path() / "root-link");
    EXPECT_EQ(sorted(FileRules::enumerateFiles(temp.path() / "root-link").supportedFiles).size(), 5u);

    // A stop ends the walk before its next folder: a quit during a walk of a
    // whole disk does not wait for the rest of it.
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(sorted(FileRules::enumerateFiles(root, FileRules::UnsupportedFiles::dropped, stop.get_token())
                         .supportedFiles),
              (std::vector<std::string>{r + "/Report.PDF", r + "/a.pdf"}));
}

TEST(FileRulesWalk, MissingOrFileRootsGiveNothing) {
    TemporaryFolder temp;
    writeFile(temp.path() / "file.pdf");
    EXPECT_EQ(FileRules::enumerateFiles(temp.path() / "nowhere"), FileRules::FileEnumerationResult{});
    EXPECT_EQ(FileRules::enumerateFiles(temp.path() / "file.pdf"), FileRules::FileEnumerationResult{});
    EXPECT_EQ(FileRules::enumerateFiles(""), FileRules::FileEnumerationResult{});
}

TEST(FileRulesWalk, UnreadableFoldersAreLeftOutAndTheWalkGoesOn) {
    TemporaryFolder temp;
    const fs::path root = temp.path() / "root";
    // Enough siblings that some come after the locked folders in any walk order.
    std::vector<std::string> expected;
    for (int i = 0; i < 20; ++i) {
        const fs::path folder = root / ("f" + std::to_string(i));
        writeFile(folder / "doc.pdf");
        expected.push_back((folder / "doc.pdf").native());
    }
    writeFile(root / "f7" / "locked" / "secret.pdf");
    writeFile(root / "f7" / "locked" / "inner" / "deep.pdf");
    writeFile(root / "f12" / "sealed" / "secret.txt");
    writeFile(root / "top.md");
    expected.push_back((root / "top.md").native());
    std::sort(expected.begin(), expected.end());
    fs::permissions(root / "f7" / "locked", fs::perms::none);
    // Listable but not enterable.
    fs::permissions(root / "f12" / "sealed", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    const FileRules::FileEnumerationResult result = enumerateUnprivileged(root);
    EXPECT_EQ(sorted(result.supportedFiles), expected);
    EXPECT_TRUE(result.unsupportedFiles.empty());
    // Each is reported, so that its files are not taken for deleted.
    auto unreadable = result.unreadableFolders;
    std::sort(unreadable.begin(), unreadable.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    EXPECT_EQ(unreadable, (std::vector<FileRules::UnreadableFolder>{{root / "f12" / "sealed", EACCES},
                                                                     {root / "f7" / "locked", EACCES}}));
}

TEST(FileRulesWalk, VeryDeepTreesAreWalkedWhole) {
    TemporaryFolder temp;
    const fs::path root = temp.path() / "root";
    fs::path folder = root;
    std::vector<std::string> expected;
    for (int depth = 0; depth < 150; ++depth) {
        folder /= "d";
        if (depth % 10 == 0) {
            writeFile(folder / "f.txt");
            expected.push_back((folder / "f.txt").native());
        }
    }
    writeFile(folder / "bottom.pdf");
    expected.push_back((folder / "bottom.pdf").native());
    // A link at depth deep enough for folders to be opened by path.
    fs::create_symlink(temp.path(), folder / "up");
    std::sort(expected.begin(), expected.end());

    const FileRules::FileEnumerationResult result = FileRules::enumerateFiles(root);
    EXPECT_EQ(sorted(result.supportedFiles), expected);
    EXPECT_TRUE(result.unsupportedFiles.empty());
}

TEST(FileRulesDigest, KnownDigests) {
    TemporaryFolder temp;
    writeFile(temp.path() / "empty", "");
    writeFile(temp.path() / "abc", "abc");
    // Larger than any read chunk, and not a multiple of one.
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 31 + 7) % 251);
    writeFile(temp.path() / "large", large);

    EXPECT_EQ(FileRules::sha256Hex(temp.path() / "empty"),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(FileRules::sha256Hex(temp.path() / "abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(FileRules::sha256Hex(temp.path() / "large"),
              "e7bff00c7b67234117b8c364725cf2b41fc31f7f46674b1a4a6b3c5516b3a6ed");

    // Short after long, on several threads at once: nothing of one file's
    // bytes reaches another's digest.
    std::vector<std::future<bool>> rounds;
    for (int thread = 0; thread < 4; ++thread) {
        rounds.push_back(std::async(std::launch::async, [&] {
            bool same = true;
            for (int round = 0; round < 3; ++round) {
                same = same && FileRules::sha256Hex(temp.path() / "large").starts_with("e7bff00c") &&
                       FileRules::sha256Hex(temp.path() / "abc").starts_with("ba7816bf");
            }
            return same;
        }));
    }
    for (auto& round : rounds) EXPECT_TRUE(round.get());

    // Read once for an upload: a file up to the limit is kept whole (the
    // buffer shrinks and grows from one to the next), a larger one is only
    // hashed; the digest is the same either way.
    std::string content = "left over from an earlier file";
    const auto keptDigest = FileRules::digestFile(temp.path() / "large", {}, content, large.size());
    EXPECT_TRUE(keptDigest.contentKept);
    EXPECT_EQ(keptDigest.sha256, FileRules::sha256Hex(temp.path() / "large"));
    EXPECT_EQ(content, large);
    EXPECT_EQ(keptDigest.status.st_size, static_cast<off_t>(large.size()));
    EXPECT_TRUE(FileRules::digestFile(temp.path() / "empty", {}, content, large.size()).contentKept);
    EXPECT_EQ(content, "");
    EXPECT_EQ(FileRules::digestFile(temp.path() / "abc", {}, content, 3).sha256.substr(0, 8), "ba7816bf");
    EXPECT_EQ(content, "abc");
    const auto streamed = FileRules::digestFile(temp.path() / "large", {}, content, large.size() - 1);
    EXPECT_FALSE(streamed.contentKept);
    EXPECT_EQ(streamed.sha256, keptDigest.sha256);
    EXPECT_EQ(content, "");
}

TEST(FileRulesDigest, AStopEndsTheDigestOfAHugeFileAtOnce) {
    // 16 GiB without a block on disk: hashed to the end it takes many seconds.
    TemporaryFolder temp;
    const fs::path huge = temp.path() / "huge.pdf";
    const int fd = ::open(huge.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const bool sparse = ::ftruncate(fd, off_t{16} << 30) == 0;
    ::close(fd);
    if (!sparse) GTEST_SKIP() << "the temporary folder holds no file this large";

    for (bool whole : {false, true}) {
        SCOPED_TRACE(whole ? "read for an upload" : "digest alone");
        std::stop_source stop;
        auto digest = std::async(std::launch::async, [&]() -> std::error_code {
            try {
                std::string content;
                if (whole) FileRules::digestFile(huge, stop.get_token(), content, std::size_t{4} << 20);
                else FileRules::sha256Hex(huge, stop.get_token());
            } catch (const std::system_error& error) {
                return error.code();
            }
            return {};
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // well into the file
        const auto asked = std::chrono::steady_clock::now();
        stop.request_stop();
        ASSERT_EQ(digest.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
        EXPECT_EQ(digest.get(), std::errc::operation_canceled);
    }
}

TEST(FileRulesDigest, RefusesWhatIsNotARegularFile) {
    TemporaryFolder temp;
    writeFile(temp.path() / "real.pdf", "abc");
    fs::create_symlink(temp.path() / "real.pdf", temp.path() / "link.pdf");
    fs::create_directory(temp.path() / "folder.pdf");
    // A pipe without a writer would block a plain open or read for ever.
    ASSERT_EQ(::mkfifo((temp.path() / "pipe.pdf").c_str(), 0644), 0);

    auto errorOf = [](const fs::path& path) -> std::error_code {
        try {
            FileRules::sha256Hex(path);
        } catch (const std::system_error& error) {
            return error.code();
        }
        return {};
    };
    EXPECT_EQ(errorOf(temp.path() / "missing.pdf"), std::errc::no_such_file_or_directory);
    EXPECT_EQ(errorOf(temp.path() / "link.pdf"), std::errc::too_many_symbolic_link_levels);
    EXPECT_EQ(errorOf(temp.path() / "folder.pdf"), std::errc::is_a_directory);

    // Should the open or a read wait for a writer after all, one is let in
    // and out again so that the test fails instead of hanging.
    auto digest = std::async(std::launch::async, errorOf, temp.path() / "pipe.pdf");
    if (digest.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
        int writer = ::open((temp.path() / "pipe.pdf").c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
        ADD_FAILURE() << "hashing a pipe blocked";
    }
    EXPECT_EQ(digest.get(), std::errc::invalid_argument);
}

} // namespace
} // namespace tarnwell
