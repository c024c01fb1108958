#include "platform/system/AtomicFile.h"

#include <cerrno>
#include <sys/stat.h>

#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
}

size_t EntriesIn(const fs::path& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

} // namespace

TEST(AtomicFileTest, NewFileGetsRequestedModeAndReplacedFileKeepsItsOwn) {
    TempDir dir;
    const std::string secret = dir / "secret.xml";
    ASSERT_EQ(WriteFileAtomic(secret, "one", 0600), 0);
    EXPECT_EQ(ReadFileBytes(secret), "one");
    EXPECT_EQ(ModeOf(secret), 0600u);

    const std::string shared = dir / "shared.xml";
    WriteFileBytes(shared, "old");
    ASSERT_EQ(::chmod(shared.c_str(), 0640), 0);
    ASSERT_EQ(WriteFileAtomic(shared, "new", 0600), 0);
    EXPECT_EQ(ReadFileBytes(shared), "new");
    EXPECT_EQ(ModeOf(shared), 0640u);
    EXPECT_EQ(EntriesIn(dir.Path()), 2u) << "no temporary file may stay behind";
}

TEST(AtomicFileTest, FailedWriteLeavesPreviousFileAndNoLitter) {
    TempDir dir;
    const std::string target = dir / "AgentStatus.xml";
    WriteFileBytes(target, "previous contents");
    SetAtomicWriteFaultForTesting(1, ENOSPC);
    EXPECT_EQ(WriteFileAtomic(target, std::string(100000, 'x')), ENOSPC);
    SetAtomicWriteFaultForTesting(0, 0);
    EXPECT_EQ(ReadFileBytes(target), "previous contents");
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

TEST(AtomicFileTest, RefusesWhatItCannotReplace) {
    TempDir dir;
    EXPECT_EQ(WriteFileAtomic(dir / "missing/dir/file.xml", "x"), ENOENT);
    EXPECT_FALSE(FileExists(dir / "missing"));
    fs::create_directory(dir / "adir");
    EXPECT_EQ(WriteFileAtomic(dir / "adir", "x"), EISDIR);
    EXPECT_NE(WriteFileAtomic("", "x"), 0);
}

TEST(AtomicFileTest, UnwritableDirectoryFailsWithoutTouchingTheFile) {
    TempDir dir;
    const fs::path locked = dir.Path() / "locked";
    fs::create_directory(locked);
    const std::string target = (locked / "AgentLocalConfig.xml").string();
    WriteFileBytes(target, "keep me");
    fs::permissions(dir.Path(), fs::perms::all, fs::perm_options::add);
    fs::permissions(locked, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec |
                                fs::perms::others_read);
    ::chmod(target.c_str(), 0666);
    // As nobody, the directory refuses the temporary file even though the
    // file itself is writable: a direct rewrite would have succeeded, the
    // atomic one must fail cleanly instead.
    const int rc = RunUnprivileged([&] { return WriteFileAtomic(target, "clobbered") == EACCES ? 0 : 1; });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadFileBytes(target), "keep me");
}
