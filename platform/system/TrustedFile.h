#pragma once
// Files the tool takes code or texts from (the plug-in UI library, the
// language libraries) must be beyond the reach of every other user: whoever
// can write such a file, or any directory on the way to it, could run code
// in the tray of everybody who starts the tool, root's included.
//
// The check is the one sudo makes of its plug-ins, applied to the whole
// path: the file and every directory above it belong to an accepted owner
// and give no write bit to group or others. A directory that others may
// write is accepted only with its sticky bit and only where the entry below
// it belongs to an accepted owner too (/tmp above a test's home): there
// nobody else can rename or remove that entry. The file is opened without
// following a link and the checked descriptor is what the caller reads or
// loads (through DescriptorPath), so no name can be swapped between the
// check and the use.

#include <string>
#include <sys/types.h>
#include <vector>

struct TrustedOwners {
    // Root is always accepted; these are accepted besides.
    std::vector<uid_t> extra;
    bool Accepts(uid_t uid) const;
};

// Root, and the running user when that user owns `agentHome`: the demo and
// the tests keep an agent home of their own, whose files that user writes
// directly. For an installed tool the agent home is root's, so only root.
TrustedOwners OwnersForAgentHome(const std::string& agentHome);

// Opens `directory`/`name` read-only after checking it as described above.
// `name` must be a plain file name (no '/', not "." or ".."). The
// descriptor (close-on-exec), or -1 with `why` saying in a few words what
// was refused.
int OpenTrustedFile(const std::string& directory, const std::string& name,
                    const TrustedOwners& owners, std::string& why);

// The same check for a directory, its own entry included; true when passed.
bool IsTrustedDirectory(const std::string& directory, const TrustedOwners& owners,
                        std::string& why);

// "/proc/self/fd/N": opens, maps or loads exactly the file behind `fd`.
std::string DescriptorPath(int fd);
