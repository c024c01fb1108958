#pragma once
// Whole-file replacement that never leaves a truncated file behind, and the
// one routine through which every file of the tool is saved.
//
// The bytes go to an unnamed temporary file (O_TMPFILE) in the directory of
// the file's final target, every write checked; the file is fsync'd, linked
// into place and the directory fsync'd. A kill at any moment leaves the old
// file or the new one. Where the file system has no unnamed files, a named
// one (SAVE_TEMP_MARKER below) is used instead; it is locked while it is
// written, and such a file that a killed save left behind is removed by the
// next save of the same file.
//
// A symbolic link is saved through: its final target is replaced and the
// link stays; but only a link of root's or of the saving user's own is
// followed (EACCES otherwise), as the kernel's protected_symlinks rule does
// in sticky directories. A file with no write bit for anyone is never replaced, whoever
// runs the save (root included), nor is one the caller may not write.

#include <string>
#include <string_view>
#include <sys/types.h>

// Named temporary files are "." + file name + SAVE_TEMP_MARKER + six
// characters of [A-Za-z0-9], beside the file.
inline constexpr const char* SAVE_TEMP_MARKER = ".saving-";

struct SaveFileOptions {
    // Mode of a new file; a replaced file keeps its own unless `exactMode`.
    mode_t newFileMode = 0644;
    // Mode of a new file in a shared directory (see IsSharedDirectory), where
    // the file takes the directory's group, whose members are meant to have
    // the group's rights; 0 means `newFileMode` there too. Elsewhere the
    // group would be the creator's own, which may be shared by every user.
    mode_t sharedFileMode = 0;
    // The file ends with `newFileMode` even where it replaces one with a
    // looser mode (a private key).
    bool exactMode = false;
    // Where the directory refuses a new file but the file itself accepts
    // writes, rewrite the file in place (checked writes, truncated to the new
    // length, fsync'd) rather than fail. Such a write is not atomic.
    bool inPlaceWhenDirectoryRefuses = false;
};

struct SaveFileReport {
    // The file was rewritten in place (see inPlaceWhenDirectoryRefuses).
    bool inPlace = false;
};

// A replaced file also keeps its group: the new file is given the old one's
// group where the caller may (root, or a member of that group). Where it
// may not, the new file's group gets no more rights than others have, so
// that the old group's rights never pass to another group.
//
// Returns 0 or the errno of the failing step; on failure the target is
// untouched and no temporary file stays behind. EACCES for a file that may
// not be written or a link of another user's on the way, EISDIR for a target that is not a regular
// file, ELOOP for a circle of links.
int SaveFile(const std::string& path, std::string_view bytes, const SaveFileOptions& options,
             SaveFileReport* report = nullptr);

// The strict atomic save: SaveFile with `newFileMode` and nothing else.
int WriteFileAtomic(const std::string& path, std::string_view bytes, mode_t newFileMode = 0644);

// 0 when a save of `path` would not be refused for what the file is (missing
// counts as replaceable); else the errno SaveFile would give.
int CheckFileReplaceable(const std::string& path);

// A directory whose set-group-id bit hands its group down to what is made in
// it: the install's shared layout (the program directory's writable parts,
// the registry, the log directory), all in the administrators' group.
bool IsSharedDirectory(const std::string& directory);

// Makes the directory `path` (its parent must exist): mode 2775 inside a
// shared directory, so that the group keeps its rights below it,
// `privateMode` elsewhere; the umask plays no part. 0 or the errno of
// mkdir (EEXIST when something is already there).
int MakeDirectory(const std::string& path, mode_t privateMode = 0755);

// Opens `path` for appending (or truncated when `truncate`), creating it
// when missing, as a stream writer opens its file: a new file gets
// `newFileMode`, or `sharedFileMode` in a shared directory, whatever the
// umask. The descriptor, or -1 with errno set; `created` says whether the
// file was made by this call. Links are followed as by SaveFile.
int OpenAppendFile(const std::string& path, bool truncate, mode_t newFileMode,
                   mode_t sharedFileMode, bool* created = nullptr);

// The file a path names after following every symbolic link, also a dangling
// one's target. False with errno set for a circle of links, an unreadable
// link or one that may not be followed (EACCES, see SaveFile).
bool ResolveFinalTarget(const std::string& path, std::string& target);

// Reads a whole regular file (through links); false when it cannot be.
bool ReadWholeFile(const std::string& path, std::string& bytes);

// Test seam: makes the n-th write() of a save fail with `error` (n counts
// from 1 over the whole process; 0 turns the fault off).
void SetAtomicWriteFaultForTesting(int failingWrite, int error);
// Test seam: saves behave as on a file system without unnamed temporary
// files, so the named-file path is taken.
void SetNoUnnamedTempFilesForTesting(bool on);
