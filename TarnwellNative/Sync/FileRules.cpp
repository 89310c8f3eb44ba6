#include "Sync/FileRules.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace tarnwell {

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// Text helpers

bool isASCII(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) < length) return false;
        if (p[1] < low || p[1] > high) return false;
        for (std::size_t i = 2; i < length; ++i) {
            if (p[i] < 0x80 || p[i] > 0xBF) return false;
        }
        p += length;
    }
    return true;
}

icu::UnicodeString toUnicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUTF8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

// Full Unicode lowercasing, independent of the locale.
std::string lowercased(std::string_view text) {
    if (isASCII(text)) {
        std::string out(text);
        for (char& c : out) c = asciiLower(c);
        return out;
    }
    icu::UnicodeString unicode = toUnicode(text);
    unicode.toLower(icu::Locale::getRoot());
    return toUTF8(unicode);
}

// Whether ASCII text, lowercased, ends with suffix (lowercase ASCII).
bool asciiLowercasedEndsWith(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    std::string_view tail = text.substr(text.size() - suffix.size());
    return std::equal(tail.begin(), tail.end(), suffix.begin(), [](char a, char b) { return asciiLower(a) == b; });
}

// Whether lowercased(text) equals lower (lowercase ASCII).
bool lowercasedEquals(std::string_view text, std::string_view lower) {
    if (isASCII(text)) {
        return text.size() == lower.size() &&
               std::equal(text.begin(), text.end(), lower.begin(),
                          [](char a, char b) { return asciiLower(a) == b; });
    }
    return lowercased(text) == lower;
}

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& table, std::string_view value) {
    return std::find(table.begin(), table.end(), value) != table.end();
}

// The path as text, without trailing "/" (except for "/" itself).
std::string_view pathText(const fs::path& path) {
    std::string_view text = path.native();
    while (text.size() > 1 && text.back() == '/') text.remove_suffix(1);
    return text;
}

std::string_view lastComponent(std::string_view text) {
    std::size_t slash = text.rfind('/');
    return slash == std::string_view::npos ? text : text.substr(slash + 1);
}

// Whether the lowercased name ends with one of the excluded endings. A name
// that is not ASCII is lowercased once for all of them.
bool hasExcludedSuffix(std::string_view name) {
    if (isASCII(name)) {
        for (std::string_view suffix : FileRules::excludedSuffixes) {
            if (asciiLowercasedEndsWith(name, suffix)) return true;
        }
        return false;
    }
    const std::string lower = lowercased(name);
    for (std::string_view suffix : FileRules::excludedSuffixes) {
        if (lower.ends_with(suffix)) return true;
    }
    return false;
}

// The rules that an entry's own name decides: excluded folder names,
// excluded names and excluded name endings.
bool isExcludedName(std::string_view name) {
    if (contains(FileRules::excludedFolderNames, name)) return true;
    if (contains(FileRules::excludedNames, name)) return true;
    return hasExcludedSuffix(name);
}

bool hasSupportedExtension(std::string_view name) {
    std::string_view extension = FileRules::pathExtension(name);
    if (extension.empty()) return false;
    for (std::string_view supported : FileRules::supportedExtensions) {
        if (lowercasedEquals(extension, supported)) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Digests

struct MDContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::string hex(const unsigned char* bytes, std::size_t count) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0F]);
    }
    return out;
}

// Eight hex digits: the first four bytes of the MD5 of text.
std::string shortTag(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1 || length < 4) {
        throw std::runtime_error("MD5 is not available");
    }
    return hex(digest, 4);
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// ---------------------------------------------------------------------------
// Safe segments

// Splits a file name into base and extension. A "." that starts the name does
// not begin an extension; a trailing "." gives an empty extension and is
// dropped from the base.
std::pair<std::string_view, std::string_view> splitExtension(std::string_view name) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {name, {}};
    return {name.substr(0, dot), name.substr(dot + 1)};
}

// Diacritics removed, case folded, then lowercased. Nothing here depends on
// the user's locale: a storage key must come out the same on every machine
// and after every change of language, or the files would be sent again under
// new keys.
icu::UnicodeString foldedLowercase(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    icu::UnicodeString source = toUnicode(text);
    if (U_FAILURE(status)) return source.toLower(icu::Locale::getRoot());

    icu::UnicodeString decomposed = nfd->normalize(source, status);
    if (U_FAILURE(status)) return source.toLower(icu::Locale::getRoot());

    icu::UnicodeString stripped;
    for (int32_t i = 0; i < decomposed.length();) {
        UChar32 c = decomposed.char32At(i);
        if (u_charType(c) != U_NON_SPACING_MARK) stripped.append(c);
        i += U16_LENGTH(c);
    }
    stripped.foldCase(U_FOLD_CASE_DEFAULT);
    icu::UnicodeString composed = nfc->normalize(stripped, status);
    if (U_FAILURE(status)) composed = stripped;
    composed.toLower(icu::Locale::getRoot());
    return composed;
}

// A character iterator per thread: creating one is costly and an instance
// must not be shared between threads.
icu::BreakIterator* characterIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) made.reset();
        return made;
    }();
    return iterator.get();
}

bool isLetterOrNumber(UChar32 c) {
    return u_hasBinaryProperty(c, UCHAR_ALPHABETIC) ||
           u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

// Letters and numbers kept, every other character (grapheme cluster) made
// "-", runs of "-" collapsed, "-" trimmed from both ends.
std::string safeBase(std::string_view base) {
    if (isASCII(base)) {
        // What the rules below make of ASCII, without ICU: folding is
        // lowercasing, the letters and digits are the only characters kept,
        // and every other character (CR LF included) is a "-".
        std::string out;
        out.reserve(base.size());
        for (char c : base) {
            const char lower = asciiLower(c);
            if ((lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9')) {
                out.push_back(lower);
            } else if (!out.empty() && out.back() != '-') {
                out.push_back('-');
            }
        }
        if (!out.empty() && out.back() == '-') out.pop_back();
        if (out.empty()) out = "file";
        return out;
    }
    icu::UnicodeString text = foldedLowercase(base);
    icu::UnicodeString replaced;
    auto appendCluster = [&](int32_t start, int32_t end) {
        if (isLetterOrNumber(text.char32At(start))) {
            replaced.append(text, start, end - start);
        } else {
            replaced.append(u'-');
        }
    };
    if (icu::BreakIterator* clusters = characterIterator()) {
        clusters->setText(text);
        int32_t start = clusters->first();
        for (int32_t end = clusters->next(); end != icu::BreakIterator::DONE; start = end, end = clusters->next()) {
            appendCluster(start, end);
        }
        clusters->setText(icu::UnicodeString());
    } else {
        for (int32_t i = 0; i < text.length();) {
            int32_t next = i + U16_LENGTH(text.char32At(i));
            appendCluster(i, next);
            i = next;
        }
    }

    std::string out;
    for (char c : toUTF8(replaced)) {
        if (c == '-' && (out.empty() || out.back() == '-')) continue;
        out.push_back(c);
    }
    if (!out.empty() && out.back() == '-') out.pop_back();
    if (out.empty()) out = "file";
    return out;
}

// The extension goes into the key as the name has it, except that each run
// of control characters (C0, DEL, C1) becomes one "-": no object store
// takes a line break or a NUL in an object name.
void appendExtension(std::string& out, std::string_view extension) {
    bool inRun = false;
    for (std::size_t i = 0; i < extension.size(); ++i) {
        const auto c = static_cast<unsigned char>(extension[i]);
        std::size_t width = 0;
        if (c < 0x20 || c == 0x7F) {
            width = 1;
        } else if (c == 0xC2 && i + 1 < extension.size() && static_cast<unsigned char>(extension[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(extension[i + 1]) <= 0x9F) {
            width = 2; // U+0080...U+009F
        }
        if (width == 0) {
            out.push_back(extension[i]);
            inRun = false;
            continue;
        }
        if (!inRun) out.push_back('-');
        inRun = true;
        i += width - 1;
    }
}

// ---------------------------------------------------------------------------
// The walk

// Folders deeper than this are read whole and closed before their subfolders
// are opened by path, so that a very deep tree can't run out of descriptors.
constexpr std::size_t heldDescriptorDepth = 64;

class Walker {
public:
    Walker(FileRules::FileEnumerationResult& result, std::string_view rootText, bool listsUnsupported,
           std::stop_token stop, const std::vector<std::string>& leftOut)
        : result_(result), path_(rootText), walksFilesystemRoot_(rootText == "/"),
          rootIsValidUTF8_(isValidUTF8(rootText)), listsUnsupported_(listsUnsupported), stop_(std::move(stop)),
          leftOut_(leftOut) {
        if (!walksFilesystemRoot_) path_.push_back('/');
    }

    void run(int rootFd) { walk(rootFd, 0, rootIsValidUTF8_); }

    // A folder that was removed, replaced by a file or by a link since it was
    // listed: what was below it is gone, not hidden.
    static bool meansGone(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }

private:
    struct Subfolder {
        std::string name;
        bool validUTF8;
    };

    // Lists the folder open at fd (and takes ownership of fd); path_ holds its
    // path with a trailing "/".
    void walk(int fd, std::size_t depth, bool validUTF8) {
        // A folder that can be listed but not searched gives names whose
        // files can't be read: it counts as unreadable.
        DIR* dir = ::faccessat(fd, ".", X_OK, AT_EACCESS) == 0 ? ::fdopendir(fd) : nullptr;
        if (dir == nullptr) {
            noteUnreadable(depth, errno);
            ::close(fd);
            return;
        }
        const std::size_t baseLength = path_.size();
        std::vector<Subfolder> subfolders;

        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(dir);
            if (entry == nullptr) {
                // What was read before an error is kept, but the rest of the
                // folder is unknown.
                if (errno != 0) noteUnreadable(depth, errno);
                break;
            }
            const char* rawName = entry->d_name;
            if (rawName[0] == '.') continue; // hidden, "." and ".."
            std::string_view name(rawName);
            if (isExcludedName(name)) continue;

            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct stat info;
                if (::fstatat(::dirfd(dir), rawName, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
                type = S_ISREG(info.st_mode) ? DT_REG : S_ISDIR(info.st_mode) ? DT_DIR : DT_UNKNOWN;
            }
            const bool nameIsValid = validUTF8 && isValidUTF8(name);
            if (type == DT_DIR) {
                if (depth == 0 && walksFilesystemRoot_ && contains(FileRules::pseudoFilesystemFolders, name)) {
                    continue;
                }
                subfolders.push_back({std::string(name), nameIsValid});
            } else if (type == DT_REG) {
                const bool supported = nameIsValid && hasSupportedExtension(name);
                if (!supported && !listsUnsupported_) continue;
                path_.append(name);
                (supported ? result_.supportedFiles : result_.unsupportedFiles).emplace_back(path_);
                path_.resize(baseLength);
            }
            // Links, devices, sockets and pipes are never listed.
        }

        const bool holdParent = depth < heldDescriptorDepth;
        if (!holdParent) {
            ::closedir(dir);
            dir = nullptr;
        }
        for (const Subfolder& subfolder : subfolders) {
            if (stop_.stop_requested()) break;
            path_.append(subfolder.name);
            if (!leftOut_.empty() && std::find(leftOut_.begin(), leftOut_.end(), path_) != leftOut_.end()) {
                path_.resize(baseLength);
                continue;
            }
            const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
            int child = holdParent ? ::openat(::dirfd(dir), subfolder.name.c_str(), flags)
                                   : ::open(path_.c_str(), flags);
            path_.push_back('/');
            if (child >= 0) {
                walk(child, depth + 1, subfolder.validUTF8);
            } else if (!meansGone(errno)) {
                noteUnreadable(depth + 1, errno);
            }
            path_.resize(baseLength);
        }
        if (dir != nullptr) ::closedir(dir);
    }

    // Notes the folder whose path is in path_ (with a trailing "/" below the
    // root).
    void noteUnreadable(std::size_t depth, int error) {
        std::string folder = path_;
        if (depth > 0 || !walksFilesystemRoot_) folder.pop_back();
        result_.unreadableFolders.push_back({std::move(folder), error});
    }

    FileRules::FileEnumerationResult& result_;
    std::string path_;
    bool walksFilesystemRoot_;
    bool rootIsValidUTF8_;
    bool listsUnsupported_;
    std::stop_token stop_;
    const std::vector<std::string>& leftOut_;
};

} // namespace

// ---------------------------------------------------------------------------
// Selection

FileRules::FileEnumerationResult FileRules::enumerateFiles(const fs::path& root) {
    return enumerateFiles(root, UnsupportedFiles::listed);
}

FileRules::FileEnumerationResult FileRules::enumerateFiles(const fs::path& root, UnsupportedFiles unsupported,
                                                          std::stop_token stop,
                                                          const std::vector<std::string>& leftOut) {
    FileEnumerationResult result;
    const std::string rootText(pathText(root));
    if (rootText.empty()) return result;
    int fd = ::open(rootText.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (!Walker::meansGone(errno)) result.unreadableFolders.push_back({rootText, errno});
        return result;
    }
    Walker walker(result, rootText, unsupported == UnsupportedFiles::listed, std::move(stop), leftOut);
    walker.run(fd);
    return result;
}

std::vector<fs::path> FileRules::listFiles(const fs::path& root) {
    return enumerateFiles(root, UnsupportedFiles::dropped).supportedFiles;
}

bool FileRules::shouldSkip(const fs::path& url, const fs::path& root) {
    std::string_view rootText = pathText(root);
    std::string_view relative = pathText(url);
    if (rootText == "/") {
        if (relative.starts_with('/')) relative.remove_prefix(1);
    } else if (relative.starts_with(rootText)) {
        relative.remove_prefix(rootText.size());
    }

    std::string_view name;
    while (!relative.empty()) {
        std::size_t slash = relative.find('/');
        std::string_view component = relative.substr(0, slash);
        relative = slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
        if (component.empty()) continue;
        if (contains(excludedFolderNames, component)) return true;
        name = component;
    }
    if (name.empty()) return false;
    if (contains(excludedNames, name)) return true;
    return hasExcludedSuffix(name);
}

bool FileRules::shouldSkipDirectory(std::string_view name, bool inFilesystemRoot) {
    if (name.starts_with('.')) return true;
    if (inFilesystemRoot && contains(pseudoFilesystemFolders, name)) return true;
    return isExcludedName(name);
}

bool FileRules::isSupported(const fs::path& url) {
    return hasSupportedExtension(lastComponent(pathText(url)));
}

std::string FileRules::mimeType(const fs::path& url) {
    std::string extension = lowercased(pathExtension(lastComponent(pathText(url))));
    if (extension == "pdf") return "application/pdf";
    if (extension == "docx") return "application/vnd.openxmlformats-officedocument.wordprocessingml.document";
    if (extension == "txt" || extension == "md") return "text/plain";
    if (extension == "csv") return "text/csv";
    if (extension == "epub") return "application/epub+zip";
    if (extension == "rtf") return "application/rtf";
    return "application/octet-stream";
}

// ---------------------------------------------------------------------------
// Names and digests

std::string FileRules::logicalPath(const fs::path& file, const fs::path& root) {
    std::string prefix(pathText(root));
    prefix.push_back('/');
    std::string_view text = pathText(file);
    if (text.starts_with(prefix)) text.remove_prefix(prefix.size());
    return std::string(text);
}

std::string FileRules::rootTag(const fs::path& root) {
    return shortTag(standardizedPath(root).native());
}

std::string FileRules::buildStorageKey(std::string_view userID, const fs::path& root, std::string_view logicalPath,
                                       const std::optional<std::string>& rootID) {
    std::string key = "user-";
    key += userID;
    key += "/root-";
    key += rootID ? *rootID : rootTag(root);
    key += '/';
    key += sanitizeRelativePath(logicalPath);
    return key;
}

std::string FileRules::legacyStorageKey(std::string_view userID, std::string_view logicalPath) {
    std::string key = "user-";
    key += userID;
    key += '/';
    key += sanitizeRelativePath(logicalPath);
    return key;
}

std::string FileRules::sanitizeRelativePath(std::string_view relativePath) {
    std::string out;
    while (!relativePath.empty()) {
        std::size_t slash = relativePath.find('/');
        std::string_view component = relativePath.substr(0, slash);
        relativePath = slash == std::string_view::npos ? std::string_view() : relativePath.substr(slash + 1);
        if (component.empty()) continue;
        if (!out.empty()) out.push_back('/');
        out += safeSegment(component);
    }
    return out;
}

std::string FileRules::safeSegment(std::string_view segment) {
    auto [base, extension] = splitExtension(segment);
    std::string out = safeBase(base);
    out.push_back('-');
    out += shortTag(segment);
    if (!extension.empty()) {
        out.push_back('.');
        appendExtension(out, extension);
    }
    return out;
}

namespace {

// Opens a file for its digest without following a link or blocking, and
// checks that it is a regular file (a pipe put in a document's place must
// not hang the read).
int openRegularFile(const std::string& path, struct stat& info) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "Can't open " + path);
    }
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "Can't read " + path);
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        throw std::system_error(S_ISDIR(info.st_mode) ? EISDIR : EINVAL, std::generic_category(),
                                "Not a regular file: " + path);
    }
    return fd;
}

void throwIfStopped(const std::stop_token& stop, const std::string& path) {
    if (stop.stop_requested()) {
        throw std::system_error(std::make_error_code(std::errc::operation_canceled), "Stopped reading " + path);
    }
}

// A SHA-256 computation on this thread's context (fetched from the library
// once, one per thread).
EVP_MD_CTX* startSHA256() {
    static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    thread_local const std::unique_ptr<EVP_MD_CTX, MDContextDeleter> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), sha256 != nullptr ? sha256 : EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
    return context.get();
}

void updateSHA256(EVP_MD_CTX* context, const void* bytes, std::size_t count) {
    if (count > 0 && EVP_DigestUpdate(context, bytes, count) != 1) {
        throw std::runtime_error("SHA-256 update failed");
    }
}

std::string finishSHA256(EVP_MD_CTX* context) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, digest, &length) != 1) {
        throw std::runtime_error("SHA-256 finish failed");
    }
    return hex(digest, length);
}

// Hashes what is left of the file, one chunk at a time, looking at the stop
// between reads.
void hashRest(int fd, const struct stat& info, EVP_MD_CTX* context, const std::string& path,
              const std::stop_token& stop) {
    if (info.st_size > (std::int64_t{1} << 20)) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); // read ahead further
    }
    // One buffer per thread, made once: a fresh large buffer per file costs
    // the allocator a map and an unmap each time. Blocks of this size stay in
    // the CPU's cache between the read and the hash.
    constexpr std::size_t chunk = std::size_t{64} << 10;
    thread_local const std::unique_ptr<unsigned char[]> buffer(new unsigned char[chunk]);
    for (;;) {
        throwIfStopped(stop, path);
        ssize_t count = ::read(fd, buffer.get(), chunk);
        if (count < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "Can't read " + path);
        }
        if (count == 0) break;
        updateSHA256(context, buffer.get(), static_cast<std::size_t>(count));
    }
}

} // namespace

std::string FileRules::sha256Hex(const fs::path& file, std::stop_token stop) {
    const std::string& path = file.native();
    struct stat info {};
    FileDescriptor fd(openRegularFile(path, info));
    EVP_MD_CTX* context = startSHA256();
    hashRest(fd.get(), info, context, path, stop);
    return finishSHA256(context);
}

FileRules::FileDigest FileRules::digestFile(const fs::path& file, std::stop_token stop, std::string& content,
                                            std::size_t keepLimit) {
    const std::string& path = file.native();
    keepLimit = std::min(keepLimit, std::numeric_limits<std::size_t>::max() / 4); // so that nothing below overflows
    FileDigest digest;
    FileDescriptor fd(openRegularFile(path, digest.status));
    EVP_MD_CTX* context = startSHA256();
    content.clear();
    const auto size = static_cast<std::uint64_t>(std::max<std::int64_t>(digest.status.st_size, 0));
    if (size > keepLimit) {
        hashRest(fd.get(), digest.status, context, path, stop);
        digest.sha256 = finishSHA256(context);
        return digest;
    }

    // Asked for one byte more than its size, a read that comes back short at
    // the size has met the end: a small file takes one read. One that grows
    // meanwhile is read on, and past keepLimit the rest is only hashed.
    content.resize(static_cast<std::size_t>(size) + 1);
    std::size_t have = 0;
    for (;;) {
        throwIfStopped(stop, path);
        if (have == content.size()) {
            if (have > keepLimit) {
                updateSHA256(context, content.data(), have);
                content.clear();
                hashRest(fd.get(), digest.status, context, path, stop);
                digest.sha256 = finishSHA256(context);
                return digest;
            }
            content.resize(std::min(keepLimit + 1, 2 * have));
        }
        const std::size_t asked = content.size() - have;
        const ssize_t count = ::read(fd.get(), content.data() + have, asked);
        if (count < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            content.clear();
            throw std::system_error(error, std::generic_category(), "Can't read " + path);
        }
        have += static_cast<std::size_t>(count);
        if (count == 0 || (have == size && static_cast<std::size_t>(count) < asked)) break;
    }
    content.resize(have);
    updateSHA256(context, content.data(), content.size());
    digest.sha256 = finishSHA256(context);
    digest.contentKept = true;
    return digest;
}

// ---------------------------------------------------------------------------
// Path helpers

fs::path FileRules::standardizedPath(const fs::path& path) {
    fs::path absolute = path;
    if (!absolute.is_absolute()) {
        std::error_code error;
        fs::path current = fs::current_path(error);
        absolute = (error ? fs::path("/") : current) / path;
    }
    std::string text = absolute.lexically_normal().native();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return fs::path(std::move(text));
}

bool FileRules::isAtOrBelow(std::string_view path, std::string_view folder) {
    if (!path.starts_with(folder)) return false;
    return path.size() == folder.size() || folder.ends_with('/') || path[folder.size()] == '/';
}

bool FileRules::isAtOrBelowAny(std::string_view path, const std::vector<std::string>& folders) {
    return std::any_of(folders.begin(), folders.end(),
                       [&](const std::string& folder) { return isAtOrBelow(path, folder); });
}

std::string_view FileRules::pathExtension(std::string_view name) {
    return splitExtension(name).second;
}

} // namespace tarnwell
