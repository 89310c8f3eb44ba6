#include "Client/HTTPTransport.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <curl/curl.h>

namespace tarnwell {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

std::string_view trim(std::string_view text) {
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<std::string> findHeader(const std::vector<HTTPHeader>& headers, std::string_view name) {
    for (const auto& header : headers) {
        if (equalsIgnoringCase(header.name, name)) {
            return header.value;
        }
    }
    return std::nullopt;
}

std::string describeDuration(std::chrono::milliseconds duration) {
    auto count = duration.count();
    if (count % 1000 == 0) {
        return std::to_string(count / 1000) + (count == 1000 ? " second" : " seconds");
    }
    return std::to_string(count) + " ms";
}

std::string describeSize(std::size_t bytes) {
    if (bytes >= (std::size_t{1} << 20) && bytes % (std::size_t{1} << 20) == 0) {
        return std::to_string(bytes >> 20) + " MiB";
    }
    return std::to_string(bytes) + " bytes";
}

void initializeCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct FileDescriptor {
    int fd = -1;
    FileDescriptor() = default;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// The file body of an upload: at most the size the file had when the
// request started, and never a short one.
struct FileBody {
    int fd = -1;
    curl_off_t size = 0;
    curl_off_t sent = 0;
    bool shrank = false;
    int readError = 0;
};

// What the callbacks of one exchange share: the answer being filled in, the
// body being sent, and when a byte last moved either way.
struct Exchange {
    using Clock = std::chrono::steady_clock;

    // The sockets of the handle's connections, one of which carries the request.
    const std::vector<curl_socket_t>* sockets = nullptr;
    HTTPResponse response;
    FileBody fileBody;
    // Connections the request was sent on so far.
    int attempts = 0;
    bool resendRefused = false;
    const std::stop_token* stop = nullptr;
    std::chrono::milliseconds idleLimit{0};
    Clock::time_point lastActivity = Clock::now();
    curl_off_t downloaded = 0;
    curl_off_t uploaded = 0;
    bool idleExpired = false;
    // The answer's size so far, headers included, and its limit.
    std::size_t answerBytes = 0;
    std::size_t maximumAnswerBytes = 0;
    bool answerTooLarge = false;
    // The kernel's count of bytes the server acknowledged, last time asked.
    std::optional<std::uint64_t> acknowledged;
    Clock::time_point lastAcknowledgementCheck{};

    void touch() { lastActivity = Clock::now(); }

    // False once the answer outgrows its limit.
    bool receive(std::size_t count) {
        if (count > maximumAnswerBytes - answerBytes) {
            answerTooLarge = true;
            return false;
        }
        answerBytes += count;
        touch();
        return true;
    }
};

// Bytes that the peers of these sockets have acknowledged, all together, or
// none where the kernel does not tell.
std::optional<std::uint64_t> bytesAcknowledged(const std::vector<curl_socket_t>& sockets) {
    std::optional<std::uint64_t> total;
    for (curl_socket_t socket : sockets) {
        struct tcp_info info {};
        socklen_t length = sizeof info;
        if (::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
            length >= offsetof(struct tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
            total = total.value_or(0) + info.tcpi_bytes_acked;
        }
    }
    return total;
}

// Called each time the request is about to go out on a connection; for a
// request that must not arrive twice, only the first time is let through.
int allowFirstAttemptOnly(void* userData, char*, char*, int, int) {
    auto* exchange = static_cast<Exchange*>(userData);
    if (exchange->attempts++ > 0) {
        exchange->resendRefused = true;
        return CURL_PREREQFUNC_ABORT;
    }
    return CURL_PREREQFUNC_OK;
}

size_t readFileBody(char* buffer, size_t size, size_t count, void* userData) {
    auto* exchange = static_cast<Exchange*>(userData);
    FileBody* body = &exchange->fileBody;
    curl_off_t remaining = body->size - body->sent;
    if (remaining <= 0) {
        return 0;
    }
    size_t wanted = std::min(size * count, static_cast<size_t>(remaining));
    ssize_t got = 0;
    do {
        got = ::read(body->fd, buffer, wanted);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        if (got < 0) {
            body->readError = errno;
        } else {
            body->shrank = true;
        }
        return CURL_READFUNC_ABORT;
    }
    body->sent += static_cast<curl_off_t>(got);
    exchange->touch();
    return static_cast<size_t>(got);
}

// libcurl rewinds the body when it must send the request again, for example
// on a reused connection that the server had already closed.
int seekFileBody(void* userData, curl_off_t offset, int origin) {
    FileBody* body = &static_cast<Exchange*>(userData)->fileBody;
    if (origin != SEEK_SET || offset < 0 || offset > body->size) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    if (::lseek(body->fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        return CURL_SEEKFUNC_FAIL;
    }
    body->sent = offset;
    return CURL_SEEKFUNC_OK;
}

size_t writeBody(char* data, size_t size, size_t count, void* userData) {
    auto* exchange = static_cast<Exchange*>(userData);
    if (!exchange->receive(size * count)) {
        return 0;
    }
    exchange->response.body.append(data, size * count);
    return size * count;
}

size_t writeHeader(char* data, size_t size, size_t count, void* userData) {
    auto* exchange = static_cast<Exchange*>(userData);
    if (!exchange->receive(size * count)) {
        return 0;
    }
    auto* headers = &exchange->response.headers;
    std::string_view line(data, size * count);
    if (line.substr(0, 5) == "HTTP/") {
        // A new answer begins (after an interim 1xx answer, say): only the
        // headers of the last one count.
        headers->clear();
        return size * count;
    }
    auto colon = line.find(':');
    if (colon != std::string_view::npos) {
        headers->push_back({std::string(trim(line.substr(0, colon))), std::string(trim(line.substr(colon + 1)))});
    }
    return size * count;
}

// Called often while bytes flow and about once a second while none do: ends
// the exchange on a stop request, or once nothing has moved either way for
// the idle limit. A slow answer that keeps trickling is never cut.
//
// A body counts as moving while the server acknowledges it, not while the
// kernel takes it: the socket buffers swallow megabytes at once, which a
// slow server may take minutes to read. The kernel is asked only once the
// body has stalled for a moment, so a brisk exchange costs no extra call.
int watchExchange(void* userData, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    constexpr std::chrono::milliseconds acknowledgementCheckInterval{200};
    auto* exchange = static_cast<Exchange*>(userData);
    if (exchange->stop->stop_requested()) {
        return 1;
    }
    if (downloaded != exchange->downloaded || uploaded != exchange->uploaded) {
        exchange->downloaded = downloaded;
        exchange->uploaded = uploaded;
        exchange->touch();
        return 0;
    }
    const auto now = Exchange::Clock::now();
    if (uploaded > 0 && now - exchange->lastActivity >= acknowledgementCheckInterval &&
        now - exchange->lastAcknowledgementCheck >= acknowledgementCheckInterval) {
        exchange->lastAcknowledgementCheck = now;
        if (auto acknowledged = bytesAcknowledged(*exchange->sockets)) {
            if (exchange->acknowledged && *acknowledged != *exchange->acknowledged) {
                exchange->touch();
            }
            exchange->acknowledged = acknowledged;
        }
    }
    if (now - exchange->lastActivity >= exchange->idleLimit) {
        exchange->idleExpired = true;
        return 1;
    }
    return 0;
}

// Runs the exchange of `easy` to its end, as curl_easy_perform would, except
// that a stop request wakes the wait at once instead of at the next progress
// check. The progress callback still runs at least once a second while
// nothing moves, for the idle limit.
CURLcode perform(CURLM* multi, CURL* easy, const std::stop_token& stop) {
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        return CURLE_FAILED_INIT;
    }
    std::optional<CURLcode> result;
    {
        std::stop_callback wake(stop, [multi] { curl_multi_wakeup(multi); });
        int running = 1;
        while (!result) {
            if (stop.stop_requested()) {
                result = CURLE_ABORTED_BY_CALLBACK;
                break;
            }
            if (curl_multi_perform(multi, &running) != CURLM_OK) {
                result = CURLE_FAILED_INIT;
                break;
            }
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
                if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                    result = message->data.result;
                }
            }
            if (result || running == 0) {
                break;
            }
            if (curl_multi_poll(multi, nullptr, 0, 1000, nullptr) != CURLM_OK) {
                result = CURLE_FAILED_INIT;
            }
        }
        // Leaves `wake` before the handle goes back: a stop from now on
        // touches nothing of it.
    }
    // An exchange cut short closes its connection; a finished one stays
    // cached in the multi handle for the next request.
    curl_multi_remove_handle(multi, easy);
    return result.value_or(CURLE_FAILED_INIT);
}

} // namespace

std::optional<std::string> HTTPRequest::header(std::string_view name) const { return findHeader(headers, name); }

void HTTPRequest::setHeader(std::string name, std::string value) {
    for (auto& header : headers) {
        if (equalsIgnoringCase(header.name, name)) {
            header.value = std::move(value);
            return;
        }
    }
    headers.push_back({std::move(name), std::move(value)});
}

bool HTTPRequest::mayBeResent() const {
    if (idempotent) {
        return *idempotent;
    }
    for (const char* safe : {"GET", "HEAD", "PUT", "DELETE", "OPTIONS", "PATCH"}) {
        if (method == safe) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> HTTPResponse::header(std::string_view name) const { return findHeader(headers, name); }

struct HTTPTransport::Shared {
    CURLSH* share = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;

    // An easy handle with the sockets of its open connections, which it opens
    // and closes through the two functions below. A connection keeps the
    // close function and its data from when it was opened, so the list lives
    // as long as the handle.
    //
    // Each handle is driven through a multi handle of its own, which holds
    // its connection cache (as curl_easy_perform's hidden one would) and
    // whose wait a stop request can wake at once.
    struct Handle {
        CURL* easy = nullptr;
        CURLM* multi = nullptr;
        std::vector<curl_socket_t> sockets;

        Handle() : easy(curl_easy_init()), multi(curl_multi_init()) {}
        ~Handle() {
            // The cached connections close first, through `close` below.
            if (multi != nullptr) {
                curl_multi_cleanup(multi);
            }
            if (easy != nullptr) {
                curl_easy_cleanup(easy);
            }
        }
        Handle(const Handle&) = delete;
        Handle& operator=(const Handle&) = delete;

        static curl_socket_t open(void* userData, curlsocktype, curl_sockaddr* address) {
            int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
            if (fd < 0) {
                return CURL_SOCKET_BAD;
            }
            static_cast<Handle*>(userData)->sockets.push_back(fd);
            return fd;
        }
        static int close(void* userData, curl_socket_t fd) {
            std::erase(static_cast<Handle*>(userData)->sockets, fd);
            return ::close(fd);
        }
    };

    // Idle easy handles. libcurl does not support one connection cache shared
    // by concurrent threads, so connections are kept per easy handle instead:
    // a request takes an idle handle (with its open connections) and gives it
    // back when it is done, and no handle serves two requests at once.
    static constexpr std::size_t maximumIdleHandles = 8;
    std::mutex idleMutex;
    std::vector<std::unique_ptr<Handle>> idle;

    std::unique_ptr<Handle> take() {
        {
            std::lock_guard lock(idleMutex);
            if (!idle.empty()) {
                std::unique_ptr<Handle> handle = std::move(idle.back());
                idle.pop_back();
                return handle;
            }
        }
        auto handle = std::make_unique<Handle>();
        if (handle->easy == nullptr || handle->multi == nullptr) {
            return nullptr;
        }
        // What every request has in common is set once per handle; send()
        // sets all the rest on every request.
        CURL* easy = handle->easy;
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &Handle::open);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, handle.get());
        curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &Handle::close);
        curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, handle.get());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        if (share != nullptr) {
            curl_easy_setopt(easy, CURLOPT_SHARE, share);
        }
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &writeBody);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &writeHeader);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &watchExchange);
        // Never left to libcurl's default, which reads the standard input: a
        // request without a file body has an empty one here.
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &readFileBody);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &seekFileBody);
        return handle;
    }
    // Clears every option that points at the finished request; the handle's
    // open connections and common options stay for the next request.
    void giveBack(std::unique_ptr<Handle> handle) {
        CURL* easy = handle->easy;
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, nullptr);
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, nullptr);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, nullptr);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, nullptr);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, nullptr);
        curl_easy_setopt(easy, CURLOPT_READDATA, nullptr);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, nullptr);
        std::lock_guard lock(idleMutex);
        if (idle.size() < maximumIdleHandles) {
            idle.push_back(std::move(handle));
        }
    }

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* userData) {
        static_cast<Shared*>(userData)->locks[static_cast<size_t>(data)].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* userData) {
        static_cast<Shared*>(userData)->locks[static_cast<size_t>(data)].unlock();
    }
};

HTTPTransport::HTTPTransport() : shared_(std::make_unique<Shared>()) {
    initializeCurlOnce();
    shared_->share = curl_share_init();
    if (shared_->share != nullptr) {
        curl_share_setopt(shared_->share, CURLSHOPT_LOCKFUNC, &Shared::lock);
        curl_share_setopt(shared_->share, CURLSHOPT_UNLOCKFUNC, &Shared::unlock);
        curl_share_setopt(shared_->share, CURLSHOPT_USERDATA, shared_.get());
        curl_share_setopt(shared_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(shared_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
}

HTTPTransport::~HTTPTransport() {
    shared_->idle.clear();
    if (shared_->share != nullptr) {
        curl_share_cleanup(shared_->share);
    }
}

std::shared_ptr<HTTPTransport> HTTPTransport::shared() {
    static const std::shared_ptr<HTTPTransport> transport = std::make_shared<HTTPTransport>();
    return transport;
}

HTTPResponse HTTPTransport::send(const HTTPRequest& request, std::stop_token stop) const {
    if (stop.stop_requested()) {
        throw TransportError(TransportError::Kind::cancelled, "The request was cancelled");
    }

    Exchange exchange;
    exchange.stop = &stop;
    exchange.idleLimit = std::max(request.idleTimeout, std::chrono::milliseconds(1));
    exchange.maximumAnswerBytes = request.maximumAnswerBytes;
    FileBody& fileBody = exchange.fileBody;
    FileDescriptor file;
    if (request.bodyFile) {
        // Opened without following a link or blocking, and checked to be a
        // regular file: a link or a pipe put in the document's place after it
        // was hashed is neither sent nor able to hang the upload. (Reads of a
        // regular file do not heed O_NONBLOCK.)
        struct stat info {};
        int error = 0;
        file.fd = ::open(request.bodyFile->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
        if (file.fd < 0) {
            error = errno;
        } else if (::fstat(file.fd, &info) != 0) {
            error = errno;
        } else if (!S_ISREG(info.st_mode)) {
            error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        }
        if (error != 0) {
            throw TransportError(TransportError::Kind::fileUnreadable,
                                 "The file " + request.bodyFile->string() + " could not be read: " +
                                     std::strerror(error));
        }
        fileBody.fd = file.fd;
        fileBody.size = static_cast<curl_off_t>(info.st_size);
    }

    std::unique_ptr<Shared::Handle> pooled = shared_->take();
    if (!pooled) {
        throw TransportError(TransportError::Kind::failed, "Could not start an HTTP request");
    }
    // Given back however the exchange ends.
    auto giveBack = [this](Shared::Handle* each) { shared_->giveBack(std::unique_ptr<Shared::Handle>(each)); };
    std::unique_ptr<Shared::Handle, decltype(giveBack)> lease(pooled.release(), giveBack);
    CURL* handle = lease->easy;
    exchange.sockets = &lease->sockets;
    char errorText[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(exchange.idleLimit.count()));

    // libcurl sends a request again, unasked, when a reused connection dies
    // before the first byte of the answer, although the server may well have
    // acted on it. A request that must not arrive twice is let out only once
    // and fails instead. So that this stays rare, it reuses only a connection
    // idle for at most a second or two (libcurl counts whole seconds), far
    // below any server's keep-alive time, which a server will hardly close
    // just as the request goes out. Any other request keeps libcurl's own
    // default age.
    const bool resendable = request.mayBeResent();
    curl_easy_setopt(handle, CURLOPT_MAXAGE_CONN, resendable ? 118L : 1L);
    curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, resendable ? nullptr : &allowFirstAttemptOnly);
    curl_easy_setopt(handle, CURLOPT_PREREQDATA, &exchange);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &exchange);
    curl_easy_setopt(handle, CURLOPT_READDATA, &exchange);
    curl_easy_setopt(handle, CURLOPT_SEEKDATA, &exchange);

    std::optional<std::string_view> memoryBody = request.borrowedBody;
    if (!memoryBody && request.body) memoryBody = *request.body;
    const bool hasBody = memoryBody || request.bodyFile;
    if (!hasBody && request.method == "GET") {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        if (request.bodyFile) {
            curl_easy_setopt(handle, CURLOPT_POSTFIELDS, nullptr);
            curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, fileBody.size);
        } else {
            // libcurl puts a body of up to 64 KiB into the buffer of the
            // request's headers, so that both go out in one write.
            curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(memoryBody ? memoryBody->size() : 0));
            // (Never a null pointer: libcurl would read the body from stdin.)
            curl_easy_setopt(handle, CURLOPT_POSTFIELDS,
                             memoryBody && memoryBody->data() != nullptr ? memoryBody->data() : "");
        }
    }
    const bool sentAsGet = !hasBody && request.method == "GET";
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST,
                     sentAsGet || request.method == "POST" ? nullptr : request.method.c_str());

    std::unique_ptr<curl_slist, ListDeleter> headerList;
    auto appendHeader = [&](const std::string& line) {
        curl_slist* head = curl_slist_append(headerList.get(), line.c_str());
        if (head == nullptr) {
            throw TransportError(TransportError::Kind::failed, "Could not build the request headers");
        }
        if (!headerList) {
            headerList.reset(head);
        }
    };
    for (const auto& header : request.headers) {
        // "Name;" is libcurl's way to send a header with an empty value.
        appendHeader(header.value.empty() ? header.name + ";" : header.name + ": " + header.value);
    }
    // libcurl's own additions that the request did not ask for.
    appendHeader("Expect:");
    if (hasBody && !request.header("content-type")) {
        appendHeader("Content-Type:");
    }
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList.get());

    exchange.touch();
    CURLcode code = perform(lease->multi, handle, stop);
    if (code != CURLE_OK) {
        std::string detail = errorText[0] != '\0' ? std::string(errorText) : std::string(curl_easy_strerror(code));
        if (fileBody.shrank) {
            throw TransportError(TransportError::Kind::fileShrank,
                                 "The file " + request.bodyFile->string() + " became shorter while it was sent");
        }
        if (fileBody.readError != 0) {
            throw TransportError(TransportError::Kind::fileUnreadable,
                                 "The file " + request.bodyFile->string() + " could not be read: " +
                                     std::strerror(fileBody.readError));
        }
        if (exchange.answerTooLarge) {
            throw TransportError(TransportError::Kind::answerTooLarge,
                                 "The answer was larger than " + describeSize(exchange.maximumAnswerBytes) +
                                     " and was not read");
        }
        if (exchange.resendRefused) {
            throw TransportError(TransportError::Kind::failed,
                                 "The request failed: the connection closed before the answer came, and the "
                                 "request was not sent again");
        }
        if (code == CURLE_ABORTED_BY_CALLBACK && stop.stop_requested()) {
            throw TransportError(TransportError::Kind::cancelled, "The request was cancelled");
        }
        if (code == CURLE_ABORTED_BY_CALLBACK && exchange.idleExpired) {
            throw TransportError(TransportError::Kind::timedOut,
                                 "The request timed out: nothing was sent or received for " +
                                     describeDuration(exchange.idleLimit));
        }
        if (code == CURLE_OPERATION_TIMEDOUT) {
            throw TransportError(TransportError::Kind::timedOut, "The request timed out: " + detail);
        }
        throw TransportError(TransportError::Kind::failed, "The request failed: " + detail);
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    exchange.response.status = status;
    return std::move(exchange.response);
}

} // namespace tarnwell
