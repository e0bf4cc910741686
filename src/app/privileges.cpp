#include "app/privileges.h"

#include <dirent.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "base/error_text.h"

namespace {

bool isHexPair(char const* name) {
    auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    return hex(name[0]) && hex(name[1]) && name[2] == '\0';
}

// Changes the owner of path, and with depth > 0 of the certificate store's directories
// below it (named by two hexadecimal digits). Returns errno of the first failure, or 0.
int giveTree(std::string const& path, RunAs const& user, int depth) {
    if (::lchown(path.c_str(), user.uid, user.gid) != 0) return errno;
    if (depth == 0) return 0;
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr) return errno;
    int failure = 0;
    while (dirent* entry = ::readdir(directory))
        if (entry->d_type == DT_DIR && isHexPair(entry->d_name) && failure == 0)
            failure = giveTree(path + "/" + entry->d_name, user, depth - 1);
    ::closedir(directory);
    return failure;
}

// Every capability set of the process, ambient included, is empty.
bool capabilitiesEmpty() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    for (auto const& set : data)
        if (set.effective != 0 || set.permitted != 0 || set.inheritable != 0) return false;
    for (int cap = 0; cap <= CAP_LAST_CAP; ++cap)
        if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, cap, 0, 0) == 1) return false;
    return true;
}

}  // namespace

std::optional<RunAs> findUser(std::string const& name) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::nullopt;
    return RunAs{name, found->pw_uid, found->pw_gid};
}

std::string giveDirectory(std::string const& directory, RunAs const& user) {
    if (int failure = giveTree(directory, user, 2)) return errorText(failure);
    std::string const log = directory + "/varno.log";
    if (::lchown(log.c_str(), user.uid, user.gid) != 0 && errno != ENOENT) return errorText(errno);
    return {};
}

std::string dropPrivileges(RunAs const& user) {
    if (::initgroups(user.name.c_str(), user.gid) != 0) return "supplementary groups: " + errorText(errno);
    if (::setgid(user.gid) != 0) return "group: " + errorText(errno);
    if (::setuid(user.uid) != 0) return "user: " + errorText(errno);
    // Leaving root clears them already; a process that had some without root drops them here.
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    ::syscall(SYS_capset, &header, none);

    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    if (::getresuid(&ruid, &euid, &suid) != 0 || ruid != user.uid || euid != user.uid || suid != user.uid)
        return "the user ids did not change";
    if (::getresgid(&rgid, &egid, &sgid) != 0 || rgid != user.gid || egid != user.gid || sgid != user.gid)
        return "the group ids did not change";
    if (user.uid != 0 && ::setuid(0) == 0) return "root could be taken back";
    if (!capabilitiesEmpty()) return "capabilities remain";
    return {};
}
