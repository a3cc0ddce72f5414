#pragma once

#include <string>

// Whether a folder can be changed by nobody but the running account. The update path keeps the
// installer and the updater in such folders between the moment they are hashed and the moment they
// run: anyone else who can rename or replace an entry there could put other bytes under the same
// name. A folder is trusted when it is owned by this account and is writable by its group or others
// only with the sticky bit set; every folder above it must be owned by this account or by root under
// the same rule, and a symbolic link on the way must belong to one of them. Plain POSIX calls and no
// Qt, because the updater program shares it; any thread.
class TrustedFolder
{
public:
    enum class Verdict { Trusted, Missing, Symlink, Unsafe };

    // Checks the folder and every folder above it, following symbolic links on the way.
    static Verdict check(const std::string &path);

    // Opens the folder itself without following a symbolic link in its last component, after the
    // same check. Returns a close-on-exec descriptor, or -1 with *verdict saying why.
    static int open(const std::string &path, Verdict *verdict);
};
