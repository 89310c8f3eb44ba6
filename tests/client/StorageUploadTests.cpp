// Uploads to the storage bucket, streamed from the file.
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"

namespace tarnwell::testing {
namespace {

using namespace std::chrono_literals;
using StorageUpload = ClientTest;

TEST_F(StorageUpload, KeysAreEncodedOnceAndNamedExactlyOnTheService) {
    signInDirectly();
    const std::string content = "%PDF-1.7 body";
    auto file = directory.write("a.pdf", content);
    const std::string key = "user-" + userID + "/root-1a2b3c4d/日本語/a b%c.pdf";
    client->uploadFile(file, key, "application/pdf");

    auto request = backend.requests("POST", "/storage/v1/object/").back();
    EXPECT_EQ(request.rawTarget, "/storage/v1/object/files/user-" + userID +
                                     "/root-1a2b3c4d/%E6%97%A5%E6%9C%AC%E8%AA%9E/a%20b%25c.pdf");
    EXPECT_EQ(request.header("content-type"), "application/pdf");
    EXPECT_EQ(request.header("cache-control"), "max-age=3600");
    EXPECT_EQ(request.header("x-upsert"), "true");
    EXPECT_EQ(request.header("Authorization"), "Bearer " + store->load()->accessToken);
    auto object = backend.object(key);
    ASSERT_TRUE(object);
    EXPECT_EQ(object->bytes, content);
    EXPECT_EQ(object->contentType, "application/pdf");

    // An empty file is an empty body; a second upload replaces the object.
    client->uploadFile(directory.write("empty.txt", ""), key, "text/plain");
    EXPECT_EQ(backend.object(key)->bytes, "");
    EXPECT_EQ(backend.object(key)->writes, 2);
}

TEST_F(StorageUpload, ExpiredSessionSendsTheWholeFileAgain) {
    signInDirectly();
    std::string content(300000, 'x');
    content += "end";
    auto file = directory.write("big.txt", content);
    backend.expireAllAccessTokens();
    client->uploadFile(file, "user-x/big.txt", "text/plain");
    auto uploads = backend.requests("POST", "/storage/v1/object/");
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[0].status, 401);
    EXPECT_EQ(uploads[1].bodySize, content.size());
    EXPECT_EQ(backend.object("user-x/big.txt")->bytes, content);

    backend.failNext("POST", "/storage/v1/object/", 2, 401);
    EXPECT_EQ(captureHTTPError([&] { client->uploadFile(file, "user-x/big.txt", "text/plain"); }),
              SupabaseHTTPError::unauthorized());
    EXPECT_EQ(backend.requests("POST", "/storage/v1/object/").size(), 4u);

    // Bytes already read are sent whole again too.
    backend.expireAllAccessTokens();
    client->uploadContent(content + "more", "user-x/memory.txt", "text/plain");
    uploads = backend.requests("POST", "/storage/v1/object/");
    ASSERT_EQ(uploads.size(), 6u);
    EXPECT_EQ(uploads[4].status, 401);
    EXPECT_EQ(backend.object("user-x/memory.txt")->bytes, content + "more");
}

TEST_F(StorageUpload, UnreadableFilesFailBeforeAnythingIsSent) {
    signInDirectly();
    // A missing file, a folder, a link, and a pipe put in a document's place
    // (which must not hang the upload waiting for a writer).
    ASSERT_EQ(::mkfifo((directory.path() / "pipe.pdf").c_str(), 0600), 0);
    std::filesystem::create_directory(directory.path() / "folder.pdf");
    std::filesystem::create_symlink(directory.write("secret.txt", "not for upload"), directory.path() / "link.pdf");
    for (const char* name : {"missing.pdf", "folder.pdf", "pipe.pdf", "link.pdf"}) {
        try {
            client->uploadFile(directory.path() / name, "user-x/f.pdf", "application/pdf");
            ADD_FAILURE() << "no error for " << name;
        } catch (const TransportError& error) {
            EXPECT_EQ(error.kind(), TransportError::Kind::fileUnreadable) << name;
        }
    }
    EXPECT_EQ(backend.requestCount("POST", "/storage/v1/object/"), 0u);
    EXPECT_EQ(backend.stats().refreshGrants, 0);
}

// Accepts one connection and reads nothing from it until released, so that
// the sender stalls with most of its body unsent.
class StallingServer {
public:
    StallingServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int small = 4096;
        ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            int connection = ::accept(listener_, nullptr, nullptr);
            if (connection < 0) {
                return;
            }
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [this] { return released_; });
            }
            char buffer[65536];
            while (::read(connection, buffer, sizeof buffer) > 0) {
            }
            ::close(connection);
        });
    }
    ~StallingServer() {
        release();
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
};

TEST(StorageUploadStreaming, AFileThatShrinksWhileSentFails) {
    TemporaryDirectory directory;
    auto file = directory.path() / "growing-smaller.bin";
    std::filesystem::resize_file(directory.write("growing-smaller.bin", ""), 64 << 20);
    StallingServer server;
    auto store = std::make_shared<SessionStore>(directory.path() / "session.json", std::nullopt);
    store->save(StoredSession{"access", "refresh", std::nullopt});
    SupabaseHTTPClient client(configFor(server.baseURL()), store);

    auto upload = std::async(std::launch::async, [&] { client.uploadFile(file, "user-x/f.bin", "text/plain"); });
    std::this_thread::sleep_for(500ms);
    std::filesystem::resize_file(file, 1 << 20);
    server.release();
    try {
        upload.get();
        ADD_FAILURE() << "a short body was sent as complete";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::fileShrank) << error.what();
    }
}

} // namespace
} // namespace tarnwell::testing
