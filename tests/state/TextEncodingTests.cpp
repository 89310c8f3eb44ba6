// Text that is not valid UTF-8 (file names in another encoding, damaged
// bytes): never written where a reader would reject it, never mistaken for
// other text.
#include <gtest/gtest.h>

#include "State/JSONWriter.hpp"
#include "State/RetryQueueStore.hpp"
#include "State/SessionStore.hpp"
#include "support/TempDir.hpp"

using namespace tarnwell;
using tarnwell::testing::TempDir;

TEST(TextNotInUTF8, StoresRefuseItAndKeepWhatTheyHeld) {
    TempDir dir;
    SessionStore sessions(dir / "session.json", std::nullopt);
    StoredSession good{"access", "refresh", StoredUser{"u", "ada@example.com"}};
    sessions.save(good);
    EXPECT_THROW(sessions.save(StoredSession{"a", "r", StoredUser{"u", std::string("ad\xc3")}}), JSONEncodingError);
    EXPECT_EQ(sessions.load(), good);

    // A Latin-1 file name between UTF-8 ones: refused, and the queue keeps
    // every other item.
    auto queued = [](const std::string& path) {
        return RetryQueueItem{path, "k", std::nullopt, 1, std::nullopt, std::nullopt, std::nullopt, "u", 1, {}};
    };
    RetryQueueStore queue(dir / "retry-queue.json", std::nullopt);
    queue.append(queued("/docs/caf\xc3\xa9.txt"));
    try {
        queue.append(queued("/docs/caf\xe9.txt"));
        ADD_FAILURE() << "an item that can't be encoded was accepted";
    } catch (const JSONEncodingError& error) {
        EXPECT_NE(std::string(error.what()).find("\"localPath\""), std::string::npos) << error.what();
    }
    queue.append(queued("/docs/b.txt"));
    auto items = queue.read();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0], queued("/docs/caf\xc3\xa9.txt"));
}

TEST(TextNotInUTF8, EqualsOnlyTheSameBytes) {
    EXPECT_FALSE(canonicallyEqual("a\xff", "a\xfe"));
    EXPECT_FALSE(canonicallyEqual("a\xff", "a\xef\xbf\xbd"));        // U+FFFD itself
    EXPECT_FALSE(canonicallyEqual("\xc0\xaf", "/"));                 // overlong "/"
    EXPECT_FALSE(canonicallyEqual("\xed\xa0\x80", "\xef\xbf\xbd"));  // lone surrogate
    EXPECT_TRUE(canonicallyEqual("a\xff", "a\xff"));
    EXPECT_TRUE(canonicallyEqual("caf\xc3\xa9", "cafe\xcc\x81"));  // precomposed and decomposed
    EXPECT_THROW(JSONWriter::write(nlohmann::json::array({"\xf4\x90\x80\x80"})), JSONEncodingError);
}
