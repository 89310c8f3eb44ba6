// A web page in place of the backend's answer during a run.
#include "sync/SyncCoordinatorHarness.hpp"

namespace tarnwell::testing {
namespace {

// A filter's page (one that begins with a byte-order mark, served as plain
// text, at a success status too) in place of the answer to an upload, a job
// insert or a delete's PATCH is not the request carried out: behind it a
// file is recorded as sent only once its object, row and job are at the
// backend, and otherwise queued; a deleted file's row is forgotten only once
// the hosted row is marked deleted and has its job; the user stays signed in.
// Once the page is gone, the next start sends each file's object and job,
// and the delete, once.
TEST(SyncCoordinatorPage, aPageInPlaceOfAnAnswerLeavesTheWorkToTheNextStart) {
    const std::string page = "\xEF\xBB\xBF<!DOCTYPE html><html><body>Blocked by policy</body></html>";
    struct Target {
        const char* method;
        const char* path;
        std::size_t sentBehind; // new files really sent while the page is served
    };
    for (const Target& target : {Target{"POST", kUploadPath, 0}, Target{"POST", kJobsPath, 0},
                                 Target{"PATCH", kFilesPath, 3}}) {
        for (int status : {200, 401, 403}) {
            SCOPED_TRACE(std::string(target.method) + " " + target.path + " " + std::to_string(status));
            SyncHarness h;
            h.signIn();
            const std::string root = h.folder("Docs");
            const std::string gone = h.write("Docs/gone.txt", "gone").string();
            h.make();
            h.syncOnce(root);
            const auto goneRow = h.database->fileRecord(gone);
            ASSERT_TRUE(goneRow);
            const auto goneRemote = h.backend.fileByKey(h.userID, goneRow->storageKey);
            ASSERT_TRUE(goneRemote);
            const std::string goneID = (*goneRemote)["id"].get<std::string>();
            std::filesystem::remove(gone);
            for (const char* name : {"a.txt", "b.txt", "c.txt"}) h.write(std::string("Docs/") + name, name);

            Fault fault;
            fault.method = target.method;
            fault.pathPrefix = target.path;
            fault.count = -1;
            fault.status = status;
            fault.contentType = "text/plain";
            fault.body = page;
            h.backend.injectFault(fault);
            h.syncOnce(root);

            const auto stored = h.sessions->load();
            EXPECT_TRUE(stored && stored->user && stored->user->id == h.userID);
            auto jobsOfKind = [&](const std::string& fileID, const char* kind) {
                const auto jobs = h.backend.jobsForFile(fileID);
                return std::count_if(jobs.begin(), jobs.end(), [&](const auto& job) { return job.at("kind") == kind; });
            };
            std::size_t sent = 0;
            for (const auto& row : h.database->rows(root)) {
                if (row.path == gone || row.sha256.empty()) continue;
                ++sent;
                const auto remote = h.backend.fileByKey(h.userID, row.storageKey);
                EXPECT_TRUE(remote && h.backend.object(row.storageKey) &&
                            jobsOfKind((*remote)["id"].get<std::string>(), "ingest") == 1)
                    << row.path;
            }
            EXPECT_EQ(sent, target.sentBehind);
            EXPECT_EQ(h.retryQueue->read().size(), 3 - sent);
            const bool deletedThere = h.backend.file(goneID)->at("is_deleted") == true && jobsOfKind(goneID, "delete");
            EXPECT_EQ(h.database->fileRecord(gone).has_value(), !deletedThere);

            h.backend.clearFaults();
            h.syncOnce(root);
            EXPECT_TRUE(h.retryQueue->read().empty());
            const auto rows = h.database->rows(root);
            EXPECT_EQ(rows.size(), 3u);
            for (const auto& row : rows) {
                EXPECT_FALSE(row.sha256.empty()) << row.path;
                const auto remote = h.backend.fileByKey(h.userID, row.storageKey);
                ASSERT_TRUE(remote) << row.path;
                EXPECT_TRUE(h.backend.object(row.storageKey)) << row.path;
                EXPECT_EQ(jobsOfKind((*remote)["id"].get<std::string>(), "ingest"), 1) << row.path;
            }
            EXPECT_EQ(h.backend.file(goneID)->at("is_deleted"), true);
            EXPECT_EQ(jobsOfKind(goneID, "delete"), 1);
        }
    }
}

} // namespace
} // namespace tarnwell::testing
