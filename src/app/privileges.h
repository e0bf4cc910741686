#pragma once
#include <sys/types.h>

#include <optional>
#include <string>

// The account a run continues as once its input is open (-Z).
struct RunAs {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The user of that name; none when there is no such user.
std::optional<RunAs> findUser(std::string const& name);

// Gives a directory the run writes in to the user: the directory, the certificate store's
// two levels of subdirectories and the active log file. Returns a problem, or empty.
std::string giveDirectory(std::string const& directory, RunAs const& user);

// Drops to the user for good: supplementary groups, group, user, then every capability;
// reads the ids back to check. Returns a problem, or empty.
std::string dropPrivileges(RunAs const& user);
