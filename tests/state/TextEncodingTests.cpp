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

namespace {

RetryQueueItem queued(const std::string& path) {
    return RetryQueueItem{path, "user-u/root-1/k", std::nullopt, 10, "text/plain", std::nullopt, std::nullopt,
                          "u",  1,                 std::nullopt};
}

} // namespace

TEST(TextNotInUTF8, StoresRefuseItAndKeepWhatTheyHeld) {
    TempDir dir;
    SessionStore sessions(dir / "session.json", std::nullopt);
    StoredSession good{"access", "refresh", StoredUser{"u", "ada@example.com"}};
    sessions.save(good);
    EXPECT_THROW(sessions.save(StoredSession{"access", "refresh\xff", std::nullopt}), JSONEncodingError);
    EXPECT_THROW(sessions.save(StoredSession{"a", "r", StoredUser{"u", std::string("ad\xc3")}}), JSONEncodingError);
    EXPECT_EQ(sessions.load(), good);

    // A Latin-1 file name next to a UTF-8 one: the queue keeps every item it
    // had and still decodes.
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
    EXPECT_FALSE(nlohmann::json::parse(TempDir::read(dir / "retry-queue.json"), nullptr, false).is_discarded());

    EXPECT_THROW(JSONWriter::write(nlohmann::json::array({"ok", "\xed\xa0\x80"})), JSONEncodingError);
    EXPECT_THROW(JSONWriter::write({{"k\xff", 1}}), JSONEncodingError);
    EXPECT_EQ(JSONWriter::write({{"k", "\xf0\x9f\x93\x84/\xe2\x82\xac"}}), "{\"k\":\"\xf0\x9f\x93\x84\\/\xe2\x82\xac\"}");
}

TEST(TextNotInUTF8, EqualsOnlyTheSameBytes) {
    const std::string replacement = "\xef\xbf\xbd"; // U+FFFD
    EXPECT_FALSE(canonicallyEqual("a\xff", "a\xfe"));
    EXPECT_FALSE(canonicallyEqual("a\xff", "a" + replacement));
    EXPECT_FALSE(canonicallyEqual("\xc0\xaf", "/"));                 // overlong "/"
    EXPECT_FALSE(canonicallyEqual("\xed\xa0\x80", replacement));     // lone surrogate
    EXPECT_FALSE(canonicallyEqual("\xf4\x90\x80\x80", replacement)); // past U+10FFFF
    EXPECT_TRUE(canonicallyEqual("a\xff", "a\xff"));
    EXPECT_TRUE(canonicallyEqual("caf\xc3\xa9", "cafe\xcc\x81")); // precomposed and decomposed

    FileStateRow latin1{"/d/caf\xe9", "/d", "caf\xe9", "k", "s", 1, 1};
    FileStateRow other = latin1;
    other.path = "/d/caf\xe8";
    EXPECT_NE(latin1, other);
    EXPECT_EQ(latin1, FileStateRow(latin1));
}
