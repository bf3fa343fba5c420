// Where each Windows thing lives on this machine, each by one rule.
//
// Per-user places are the user's own: under the home directory the password
// database gives for the effective user (never $HOME alone), or an XDG
// directory the user named that passes the checks of safe_files.h. Per-machine
// places are fixed root-owned directories that an environment variable may
// move (for tests, or a machine emulated from a file). Nothing here is under a
// directory another user could have made first, except the /tmp/qvtr-<uid>
// temporary directory, which is used only while it is the user's own.
#pragma once

#include <string>

namespace posix {

// The effective user's home from the password database; empty when unknown.
std::string UserHome();

// %TEMP%: $TMPDIR or $XDG_RUNTIME_DIR when they pass the checks, else
// /tmp/qvtr-<uid> (0700) while it is the user's own, else <home>/.cache/qvtr/tmp.
// Empty (unavailable) only when none of these can be had.
std::string TemporaryDirectory();

// The Windows directory, where INI files named without a directory live:
// $XDG_CONFIG_HOME/qvtr/, else <home>/.config/qvtr/. Empty when there is no home.
std::string WindowsDirectory();

// True when $QVTR_REGISTRY names one private file that holds every root (a
// machine of its own); false for the two hives of a shared machine.
bool PrivateRegistry();

// The file of the user hive (HKEY_CURRENT_USER, HKEY_USERS\S-1-22-1-<uid>), or
// the private file: $QVTR_REGISTRY, else $XDG_DATA_HOME/qvtr/registry.db, else
// <home>/.local/share/qvtr/registry.db. Empty when there is no home.
std::string UserHivePath();

// The file of the machine hive (HKEY_LOCAL_MACHINE): $QVTR_MACHINE_HIVE, else
// /var/lib/qvtr/machine.db.
std::string MachineHivePath();

// The directory of the service manager's run state: beside the machine hive
// ("<hive>.services/"), or beside the private file. Ends in '/'.
std::string ServiceRunDirectory();

// Creates the missing directories of `dir` (the last with `mode`, those above
// it with its permission bits but no write for others), then checks the whole
// chain. True when `dir` can be trusted; errno ENOENT when a part is missing.
bool MakeTrustedDirectory(const std::string& dir, unsigned mode);

}  // namespace posix
