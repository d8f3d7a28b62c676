#pragma once
// Files in folders that other local users may control. The programs often run as root; a
// file root reads goes to a printer and, hex-dumped, into the shared log. So a file is
// opened without following a link or blocking on a FIFO, only a regular file is read, and
// as root only a folder and files that root, or the user root runs for, own and nobody
// else may write.
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/UniqueFd.h"

// Whom a run trusts with what it reads: root, and as root also the user it runs for
// (SUDO_UID, PKEXEC_UID: a technician's own folder under sudo keeps working).
bool IsTrustedOwner(uid_t uid) noexcept;

// Why root must not use the object that info describes ("belongs to user nobody",
// "may be written by group staff", "may be written by every user"); empty when it may,
// and always empty for a run that is not root's: such a run reads only what the system
// already lets its user read.
std::string RootDistrust(const struct stat& info);

// The name of a user or group, else its number.
std::string UserName(uid_t uid);
std::string GroupName(gid_t gid);

struct PlainFile {
    UniqueFd fd;
    struct stat info {};
    int nErrno = 0;          // when fd is invalid: why (ELOOP a link, EISDIR, EACCES, ...)
    std::string strWhyNot;   // when refused here rather than by the system: a phrase
                             // for "NAME <phrase>" ("is a FIFO, not a plain file")
    bool bDistrusted = false;  // refused as root for its owner or its mode (RootDistrust)
};

// Opens pszPath for reading: O_NOFOLLOW | O_NONBLOCK, then only a regular file, and as
// root (RootDistrust) only a trusted one. Never blocks.
PlainFile OpenPlainFile(const char* pszPath);

// Why root must not take files from the current folder (RootDistrust of "."), or empty.
std::string CurrentFolderDistrust();

// The sentence for an update folder, or a file in it, that root refused: names it, says
// why and what to do. what: "The update folder /x" or "FW2007SIM.bin in /x".
std::string DistrustSentence(const std::string& what, const std::string& why, const std::string& folder);

// The sentence for a file of the current folder that OpenPlainFile refused itself (its
// strWhyNot is set): a link or a FIFO, or as root another user's file.
std::string RefusalSentence(const std::string& name, const PlainFile& file);

// Reads what is left of fd into *pText: 0, the errno of a failed read, or EFBIG when there
// is more than cbMax bytes (a file that grows while it is read is held to the bound too).
int ReadBounded(int fd, std::size_t cbMax, std::string* pText);
