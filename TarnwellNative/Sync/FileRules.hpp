// Which files below a watched folder are synced, under which names they are
// stored, and their content digests. Stateless: every function may be called
// from any thread.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace tarnwell {

class FileRules {
public:
    FileRules() = delete;

    // A folder below the root that the walk could not read (whole or in
    // part), with the errno that stopped it. What lies below it is unknown,
    // not gone.
    struct UnreadableFolder {
        std::filesystem::path path;
        int error = 0;

        friend bool operator==(const UnreadableFolder&, const UnreadableFolder&) = default;
    };

    // One walk of a watched folder. Both file lists hold absolute paths in
    // the order the walk met them; no path is in both.
    struct FileEnumerationResult {
        // Regular files that passed the exclusion rules and have a supported
        // extension.
        std::vector<std::filesystem::path> supportedFiles;
        // Regular files that passed the exclusion rules but can't be synced:
        // the extension is not supported, or the path is not valid UTF-8.
        std::vector<std::filesystem::path> unsupportedFiles;
        // Folders below the root that could not be opened or listed to the
        // end. A folder that vanished or turned into something else during
        // the walk is not one of them: its files are really gone.
        std::vector<UnreadableFolder> unreadableFolders;

        friend bool operator==(const FileEnumerationResult&, const FileEnumerationResult&) = default;
    };

    // Lowercase extensions of the documents that are synced.
    static constexpr std::array<std::string_view, 7> supportedExtensions{
        "pdf", "docx", "txt", "md", "csv", "rtf", "epub"};

    // Folder names (exact, case-sensitive) skipped with everything below them.
    static constexpr std::array<std::string_view, 12> excludedFolderNames{
        "node_modules", ".git", ".Trash", "Library", ".cache", ".npm", ".vscode",
        "Applications", "System", "Photos Library.photoslibrary", "Music", "Photo Booth Library"};

    // Lowercase name endings of temporary and bundle entries.
    static constexpr std::array<std::string_view, 12> excludedSuffixes{
        ".tmp", ".part", ".log", ".crdownload", ".swp", ".sock", ".socket", ".pid", ".lock",
        ".photoslibrary", ".musiclibrary", ".itl"};

    // Entry names (exact, case-sensitive) that are never synced.
    static constexpr std::array<std::string_view, 2> excludedNames{".DS_Store", ".localized"};

    // Kernel pseudo-filesystems that a walk of "/" does not enter.
    static constexpr std::array<std::string_view, 4> pseudoFilesystemFolders{"proc", "sys", "dev", "run"};

    // --- Selection ---

    // Walks the tree below root. Symbolic links below the root are neither
    // followed nor listed; hidden entries (names beginning with ".") and
    // excluded entries are left out, excluded folders with their contents.
    // Folders that can't be read are passed over, noted in
    // unreadableFolders, and the walk goes on. A missing root gives an empty
    // result; one that can't be read is noted itself. Never throws.
    static FileEnumerationResult enumerateFiles(const std::filesystem::path& root);

    // What a walk keeps of the files it can't sync.
    enum class UnsupportedFiles {
        listed,  // in unsupportedFiles
        dropped, // nowhere: unsupportedFiles stays empty
    };

    // enumerateFiles(root), keeping the unsupported files only when asked:
    // a walk whose caller has no use for them holds no path for them. A stop
    // request ends the walk before its next folder: the result then holds
    // only part of the tree, which the caller must not take for the whole.
    // The folders of `leftOut` (paths as the walk spells them, below the
    // root) are not entered: what lies in them is neither listed nor noted.
    static FileEnumerationResult enumerateFiles(const std::filesystem::path& root, UnsupportedFiles unsupported,
                                                std::stop_token stop = {},
                                                const std::vector<std::string>& leftOut = {});

    // The supportedFiles of enumerateFiles(root).
    static std::vector<std::filesystem::path> listFiles(const std::filesystem::path& root);

    // True when the entry at url, found below root, is excluded (a folder
    // together with everything below it). Only the components below the root
    // are tested. Hidden entries are not this function's concern: the walk
    // drops them before asking.
    static bool shouldSkip(const std::filesystem::path& url, const std::filesystem::path& root);

    // True when a folder with this name is not walked: it is hidden or
    // excluded, or it is one of the kernel's pseudo-filesystems and lies
    // directly in "/" (inFilesystemRoot). For placing folder watches.
    static bool shouldSkipDirectory(std::string_view name, bool inFilesystemRoot = false);

    // True when the lowercased extension is supported.
    static bool isSupported(const std::filesystem::path& url);

    // The MIME type sent with an upload; "application/octet-stream" for any
    // other extension.
    static std::string mimeType(const std::filesystem::path& url);

    // --- Names and digests ---

    // The file's path relative to root ("a/b.txt"). For the root "/" the
    // whole path is returned, leading "/" included.
    static std::string logicalPath(const std::filesystem::path& file, const std::filesystem::path& root);

    // Eight hex digits of the MD5 of the root's standardized path.
    static std::string rootTag(const std::filesystem::path& root);

    // "user-" + userID + "/root-" + (rootID or rootTag(root)) + "/" +
    // sanitizeRelativePath(logicalPath).
    static std::string buildStorageKey(std::string_view userID, const std::filesystem::path& root,
                                       std::string_view logicalPath,
                                       const std::optional<std::string>& rootID = std::nullopt);

    // "user-" + userID + "/" + sanitizeRelativePath(logicalPath).
    static std::string legacyStorageKey(std::string_view userID, std::string_view logicalPath);

    // The safe segments of the non-empty "/"-separated components, joined by "/".
    static std::string sanitizeRelativePath(std::string_view relativePath);

    // One path component as it appears in storage keys: a base folded to
    // lowercase without diacritics (letters and numbers of any script, single
    // "-" between them; "file" when nothing is left), "-",
    // eight hex digits of the MD5 of the component as given, then "." and the
    // unchanged extension when there is one.
    static std::string safeSegment(std::string_view segment);

    // SHA-256 of the file's content, 64 lowercase hex digits. The file is
    // opened without following a symbolic link and without blocking, and must
    // be a regular file. Throws std::system_error when it can't be read, and
    // one with std::errc::operation_canceled when `stop` is requested before
    // the last read (it is looked at between reads).
    static std::string sha256Hex(const std::filesystem::path& file, std::stop_token stop = {});

    // What one read of a file gave.
    struct FileDigest {
        // As sha256Hex gives it.
        std::string sha256;
        // What fstat said of the opened file before its first read. A later
        // stat that matches it shows that the bytes read are still the file's.
        struct stat status {};
        // True when the bytes hashed are all in the caller's `content`.
        bool contentKept = false;
    };

    // Opens and reads the file once, as sha256Hex does. A file of at most
    // keepLimit bytes is read whole into `content` (whose memory is reused
    // from file to file), so that it can be sent without being read again;
    // for a larger one `content` is left empty and the file is hashed
    // through a small buffer.
    static FileDigest digestFile(const std::filesystem::path& file, std::stop_token stop, std::string& content,
                                 std::size_t keepLimit);

    // --- Path helpers ---

    // True when path is folder itself or lies below it, component by
    // component: "/x/Docs2" does not lie below "/x/Docs".
    static bool isAtOrBelow(std::string_view path, std::string_view folder);
    // True when path is at or below one of the folders.
    static bool isAtOrBelowAny(std::string_view path, const std::vector<std::string>& folders);

    // The path made absolute (against the working directory), with "." and
    // ".." components and redundant separators removed textually; symbolic
    // links are not resolved. No trailing "/" except for "/" itself.
    static std::filesystem::path standardizedPath(const std::filesystem::path& path);

    // The extension of a file name: the text after its last ".", empty when
    // there is none or the only "." starts the name (".profile").
    static std::string_view pathExtension(std::string_view name);
};

} // namespace tarnwell
