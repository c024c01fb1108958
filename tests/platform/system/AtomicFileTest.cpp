#include "platform/system/AtomicFile.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
}

size_t EntriesIn(const fs::path& dir) {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
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
    const int rc =
        RunUnprivileged([&] { return WriteFileAtomic(target, "clobbered") == EACCES ? 0 : 1; });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadFileBytes(target), "keep me");
}

namespace {

bool IsLink(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::vector<std::string> NamesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(AtomicFileTest, SavesThroughLinksToTheirFinalTargetAndKeepsTheLinks) {
    struct Case {
        const char* name;
        // Link text (relative to the link's directory, or absolute with "@"
        // for the home directory) for each hop from "doc.xml" on.
        std::vector<std::string> hops;
        const char* target; // the file that must receive the bytes
    } cases[] = {
        {"absolute link", {"@/conf/real.xml"}, "conf/real.xml"},
        {"relative link", {"conf/real.xml"}, "conf/real.xml"},
        {"relative link climbing", {"../elsewhere/real.xml"}, "../elsewhere/real.xml"},
        {"chain of links", {"hop1", "conf/hop2", "real.xml"}, "conf/real.xml"},
        {"dangling link", {"conf/new.xml"}, "conf/new.xml"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path home = dir.Path() / "home";
        fs::create_directories(home / "conf");
        fs::create_directories(dir.Path() / "elsewhere");
        const fs::path target = home / c.target;
        if (std::string(c.name) != "dangling link") {
            WriteFileBytes(target, "old");
            ::chmod(target.c_str(), 0640);
        }
        fs::path link = home / "doc.xml";
        for (const std::string& hop : c.hops) {
            const std::string text = hop.front() == '@' ? home.string() + hop.substr(1) : hop;
            fs::create_symlink(text, link);
            link = link.parent_path() / text;
        }
        ASSERT_EQ(WriteFileAtomic((home / "doc.xml").string(), "new", 0600), 0);
        EXPECT_TRUE(IsLink((home / "doc.xml").string())) << "the link stays a link";
        EXPECT_EQ(ReadFileBytes(target), "new");
        EXPECT_EQ(ModeOf(target.string()), std::string(c.name) == "dangling link" ? 0600u : 0640u);
        std::string resolved;
        ASSERT_TRUE(ResolveFinalTarget((home / "doc.xml").string(), resolved));
        EXPECT_EQ(fs::weakly_canonical(resolved), fs::weakly_canonical(target));
    }
}

TEST(AtomicFileTest, ACircleOfLinksIsRefused) {
    TempDir dir;
    fs::create_symlink("b", dir.Path() / "a");
    fs::create_symlink("a", dir.Path() / "b");
    EXPECT_EQ(WriteFileAtomic(dir / "a", "x"), ELOOP);
    EXPECT_TRUE(IsLink(dir / "a"));
}

TEST(AtomicFileTest, AFileWithoutAnyWriteBitIsNeverReplacedByAnyone) {
    TempDir dir;
    fs::permissions(dir.Path(), fs::perms::all, fs::perm_options::add);
    const std::string target = dir / "readonly.xml";
    WriteFileBytes(target, "keep me");
    ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
    SaveFileOptions inPlace;
    inPlace.inPlaceWhenDirectoryRefuses = true;
    EXPECT_EQ(SaveFile(target, "clobbered", inPlace), EACCES);
    EXPECT_EQ(CheckFileReplaceable(target), EACCES);
    EXPECT_EQ(
        RunUnprivileged([&] { return WriteFileAtomic(target, "clobbered") == EACCES ? 0 : 1; }), 0);
    // Writable for its owner only: the owner may, nobody else.
    ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
    EXPECT_EQ(
        RunUnprivileged([&] { return WriteFileAtomic(target, "clobbered") == EACCES ? 0 : 1; }), 0);
    EXPECT_EQ(ReadFileBytes(target), "keep me");
    EXPECT_EQ(NamesIn(dir.Path()), std::vector<std::string>{"readonly.xml"});
}

TEST(AtomicFileTest, WritableFileInARefusingDirectoryIsRewrittenInPlaceWhenAllowed) {
    TempDir dir;
    const fs::path locked = dir.Path() / "locked";
    fs::create_directory(locked);
    const std::string target = (locked / "AgentLocalConfig.xml").string();
    WriteFileBytes(target, "a longer old text that must not survive");
    fs::permissions(dir.Path(), fs::perms::all, fs::perm_options::add);
    ::chmod(locked.c_str(), 0755);
    ::chmod(target.c_str(), 0666);
    const int rc = RunUnprivileged([&] {
        SaveFileOptions options;
        options.inPlaceWhenDirectoryRefuses = true;
        SaveFileReport report;
        if (SaveFile(target, "short new", options, &report) != 0)
            return 1;
        return report.inPlace ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadFileBytes(target), "short new") << "truncated to the new length";
    EXPECT_EQ(ModeOf(target), 0666u);
    // Where the directory does take the file, the atomic way is kept.
    SaveFileOptions options;
    options.inPlaceWhenDirectoryRefuses = true;
    SaveFileReport report;
    EXPECT_EQ(SaveFile(target, "atomic", options, &report), 0);
    EXPECT_FALSE(report.inPlace);
}

TEST(AtomicFileTest, ExactModeTightensAReplacedFile) {
    TempDir dir;
    const std::string key = dir / "key.pem";
    WriteFileBytes(key, "old key");
    ::chmod(key.c_str(), 0664);
    SaveFileOptions options;
    options.newFileMode = 0600;
    options.exactMode = true;
    ASSERT_EQ(SaveFile(key, "new key", options), 0);
    EXPECT_EQ(ModeOf(key), 0600u);
    EXPECT_EQ(ReadFileBytes(key), "new key");
}

TEST(AtomicFileTest, LeftoversOfKilledSavesGoWithTheNextSaveUnlessStillHeld) {
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed temporary file" : "named temporary file");
        SetNoUnnamedTempFilesForTesting(!unnamed);
        TempDir dir;
        const std::string target = dir / "AgentStatus.xml";
        WriteFileBytes(target, "old");
        const std::string prefix = std::string(".AgentStatus.xml") + SAVE_TEMP_MARKER;
        WriteFileBytes(dir / (prefix + "Ab3xY9"), "leftover");
        WriteFileBytes(dir / (prefix + "HELD00"), "another save's, still open");
        // Not of this file's pattern: other files, and leftovers of others.
        WriteFileBytes(dir / "AgentStatus.xml.backup", "mine");
        WriteFileBytes(dir / (std::string(".Other.xml") + SAVE_TEMP_MARKER + "Ab3xY9"), "other");
        const int held = ::open((dir / (prefix + "HELD00")).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(held, 0);
        ASSERT_EQ(::flock(held, LOCK_EX), 0);

        ASSERT_EQ(WriteFileAtomic(target, "new"), 0);
        ::close(held);
        EXPECT_EQ(ReadFileBytes(target), "new");
        EXPECT_EQ(NamesIn(dir.Path()),
                  (std::vector<std::string>{prefix + "HELD00",
                                            std::string(".Other.xml") + SAVE_TEMP_MARKER + "Ab3xY9",
                                            "AgentStatus.xml", "AgentStatus.xml.backup"}));
        ASSERT_EQ(WriteFileAtomic(target, "newer"), 0);
        EXPECT_FALSE(FileExists(dir / (prefix + "HELD00"))) << "released, so it goes too";
    }
    SetNoUnnamedTempFilesForTesting(false);
}

// The install's shared layout: directories root:G 2775, the administrators'
// group G of the test's own, and a member (nobody with G as supplementary
// group) or a non-member (nobody alone) saving.
TEST(AtomicFileSharedLayoutTest, ReplacedFilesKeepTheirGroupAndNewOnesTakeTheGroupsRights) {
    SKIP_UNLESS_ROOT();
    const gid_t group = UnusedGroupId();
    const struct {
        const char* what;
        unsigned dirMode;
        bool dirInGroup;
        bool fileExists;
        bool fileOwnedByCaller;
        unsigned fileMode;
        bool member;
        int error;
        bool resultInGroup;
        unsigned resultMode;
    } cases[] = {
        {"member replaces in a plain directory", 0777, false, true, false, 0660, true, 0, true,
         0660},
        {"member replaces in the shared directory", 02775, true, true, false, 0660, true, 0, true,
         0660},
        {"member replaces a document all may read", 02775, true, true, false, 0664, true, 0, true,
         0664},
        // The group cannot be kept: its rights do not pass to the caller's group.
        {"owner outside the group", 0777, false, true, true, 0660, false, 0, false, 0600},
        {"owner outside the group, readable by all", 0777, false, true, true, 0664, false, 0, false,
         0644},
        {"member creates in the shared directory", 02775, true, false, false, 0, true, 0, true,
         0660},
        {"member creates in a plain directory", 0777, false, false, false, 0, true, 0, false, 0600},
        {"non-member in the shared directory", 02775, true, true, false, 0660, false, EACCES, true,
         0660},
    };
    for (const auto& c : cases) {
        for (const bool unnamed : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (unnamed ? "" : ", named temporary file"));
            TempDir temp;
            fs::permissions(temp.Path(), fs::perms::all, fs::perm_options::add);
            const fs::path dir = temp.Path() / "agent";
            fs::create_directory(dir);
            ASSERT_EQ(::chown(dir.c_str(), 0, c.dirInGroup ? group : 0), 0);
            ASSERT_EQ(::chmod(dir.c_str(), c.dirMode), 0);
            const std::string file = (dir / "AgentLocalConfig.xml").string();
            if (c.fileExists) {
                WriteFileBytes(file, "old");
                ASSERT_EQ(::chown(file.c_str(), c.fileOwnedByCaller ? NOBODY_UID : 0, group), 0);
                ASSERT_EQ(::chmod(file.c_str(), c.fileMode), 0);
            }
            const int rc = RunUnprivileged(
                [&] {
                    // Modes are set explicitly: the umask plays no part.
                    ::umask(077);
                    SetNoUnnamedTempFilesForTesting(!unnamed);
                    SaveFileOptions options;
                    options.newFileMode = 0600;
                    options.sharedFileMode = 0660;
                    return SaveFile(file, "new", options);
                },
                c.member ? std::vector<gid_t>{group} : std::vector<gid_t>{});
            EXPECT_EQ(rc, c.error);
            EXPECT_EQ(ReadFileBytes(file), c.error == 0 ? "new" : "old");
            const FileOwnership owner = OwnershipOf(file);
            EXPECT_EQ(owner.gid, c.resultInGroup ? group : NOGROUP_GID);
            EXPECT_EQ(owner.mode, c.resultMode);
            EXPECT_EQ(EntriesIn(dir), 1u) << "no temporary file may stay behind";
        }
    }
}

TEST(AtomicFileSharedLayoutTest, DirectoriesAndAppendedFilesMadeByAMemberStayInTheGroup) {
    SKIP_UNLESS_ROOT();
    const gid_t group = UnusedGroupId();
    for (const bool shared : {true, false}) {
        SCOPED_TRACE(shared ? "shared directory" : "plain directory");
        TempDir temp;
        fs::permissions(temp.Path(), fs::perms::all, fs::perm_options::add);
        const fs::path dir = temp.Path() / "agent";
        fs::create_directory(dir);
        ASSERT_EQ(::chown(dir.c_str(), 0, shared ? group : 0), 0);
        ASSERT_EQ(::chmod(dir.c_str(), shared ? 02775 : 0777), 0);
        const int rc = RunUnprivileged(
            [&] {
                ::umask(077);
                if (MakeDirectory((dir / "log").string()) != 0 ||
                    MakeDirectory((dir / "log").string()) != EEXIST)
                    return 1;
                const int fd = OpenAppendFile((dir / "log/tool.log").string(), false, 0644, 0664);
                if (fd < 0 || ::write(fd, "a", 1) != 1)
                    return 2;
                ::close(fd);
                // A second open appends to the same file.
                const int again =
                    OpenAppendFile((dir / "log/tool.log").string(), false, 0600, 0600);
                if (again < 0 || ::write(again, "b", 1) != 1)
                    return 3;
                ::close(again);
                return 0;
            },
            {group});
        ASSERT_EQ(rc, 0);
        const gid_t expected = shared ? group : NOGROUP_GID;
        EXPECT_EQ(OwnershipOf(dir / "log"),
                  (FileOwnership{NOBODY_UID, expected, shared ? 02775u : 0755u}));
        EXPECT_EQ(OwnershipOf(dir / "log/tool.log"),
                  (FileOwnership{NOBODY_UID, expected, shared ? 0664u : 0644u}));
        EXPECT_EQ(ReadFileBytes(dir / "log/tool.log"), "ab");
    }
}

// A link another user made is never followed, not by a save and not by the
// log's append; root's own links and the saver's are.
TEST(AtomicFileTest, OnlyRootsOrTheSaversOwnLinksAreFollowed) {
    SKIP_UNLESS_ROOT();
    constexpr uid_t kMember = 64123;
    struct Case {
        const char* name;
        std::vector<uid_t> hopOwners; // owner of each link from "doc.xml" on
        bool followed;
    } cases[] = {
        {"root's link", {0}, true},
        {"a member's link", {kMember}, false},
        {"root's link to a member's link", {0, kMember}, false},
        {"a member's link to root's link", {kMember, 0}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path target = dir.Path() / "shadow";
        WriteFileBytes(target, "root's bytes");
        ::chmod(target.c_str(), 0640);
        fs::path link = dir.Path() / "doc.xml";
        for (std::size_t i = 0; i < c.hopOwners.size(); ++i) {
            const fs::path next =
                i + 1 < c.hopOwners.size() ? dir.Path() / ("hop" + std::to_string(i)) : target;
            fs::create_symlink(next, link);
            ASSERT_EQ(::lchown(link.c_str(), c.hopOwners[i], 0), 0);
            link = next;
        }
        const std::string path = (dir.Path() / "doc.xml").string();
        EXPECT_EQ(WriteFileAtomic(path, "planted", 0600), c.followed ? 0 : EACCES);
        EXPECT_EQ(CheckFileReplaceable(path), c.followed ? 0 : EACCES);
        const int fd = OpenAppendFile(path, false, 0644, 0);
        EXPECT_EQ(fd >= 0, c.followed);
        if (fd >= 0)
            ::close(fd);
        EXPECT_EQ(ReadFileBytes(target), c.followed ? "planted" : "root's bytes");
        EXPECT_TRUE(IsLink(path));
    }
}
