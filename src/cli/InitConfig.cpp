#include "cli/InitConfig.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "cli/Preflight.h"
#include "engine/Kelvo.h"
#include "engine/UpdateFiles.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

namespace {

// The data-kind letter of each kind of file that can be sent, by its prefix.
struct FileLetter {
    const char* pszPattern;
    const char* pszLetter;
};
constexpr FileLetter kLetters[] = {{"KF*.bin", "K"}, {"CF*.bin", "H"}, {"ZF*.bin", "C"}, {"YF*.bin", "Z"}};

bool HasFileFor(const char* pszPattern, int nTypeId) {
    for (const std::string& name : ListUpdateFiles(pszPattern)) {
        UpdateFileKey key;
        if (!name.empty() && ParseUpdateFileName(name, &key) == 0 && key.bTypeId == nTypeId) return true;
    }
    return false;
}

}  // namespace

std::optional<int> ParseTypeIdWord(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::string word(text);
    unsigned long value = 0;
    bool bLetter = false;
    bool bHex = word.size() == 2;
    for (char ch : word) {
        bHex = bHex && std::isxdigit(static_cast<unsigned char>(ch));
        bLetter = bLetter || std::isalpha(static_cast<unsigned char>(ch));
    }
    if (bHex && bLetter) {
        value = std::strtoul(word.c_str(), nullptr, 16);
    } else {
        if (!std::isdigit(static_cast<unsigned char>(word[0]))) return std::nullopt;
        char* pEnd = nullptr;
        errno = 0;
        value = std::strtoul(word.c_str(), &pEnd, 0);
        if (errno != 0 || *pEnd != '\0') return std::nullopt;
    }
    if (value < 1 || value > 63) return std::nullopt;
    return static_cast<int>(value);
}

std::string StartingConfigText(int nTypeId, int nKind) {
    std::string kinds = "M";
    for (const FileLetter& letter : kLetters) {
        if (HasFileFor(letter.pszPattern, nTypeId)) kinds += std::string("|") + letter.pszLetter;
    }
    // No empty line: one would end the file.
    return "// Printer models this folder's update files are for, one a line (written by kelvo-cli --init-config).\n"
           "// Type ID, \"model name\", data kinds, interfaces, options\n"
           "//   data kinds: M firmware, K Kanji font (KF), H code page (CF), C CPCL font (ZF), Z ZPL font (YF)\n"
           "//   interfaces: IF_USB, IF_BT (Bluetooth), IF_TCP (LAN), IF_COM (serial), joined by |\n"
           "//   options: 0, or NO_BOOT_DEVID, WIRELESS_LAN, REWRITE_AFTER_SEND, BT_SLEEP_BEFORE_CLOSE,\n"
           "//            ETHERNET_OR_WIRELESS_LAN, as the printer's release says\n" +
           StrPrintf("%d, \"ZAQ printer %02X\", %s, %s, 0\n", nTypeId, static_cast<unsigned>(nTypeId), kinds.c_str(),
                     InterfaceWord(nKind));
}

int WriteStartingConfig(const CliOptions& options, std::string* pMessage) {
    std::optional<int> nTypeId = ParseTypeIdWord(options.strTypeId);
    if (options.strTypeId.empty() || !options.nKind) {
        *pMessage = "--init-config needs --type-id ID (the two hexadecimal digits after FW in the firmware file's "
                    "name, 1F, or 31, or 0x1F) and --kind KIND";
        return 1;
    }
    if (!nTypeId) {
        *pMessage = "--type-id '" + options.strTypeId.substr(0, 32) +
                    "' is no Type ID: write a number from 1 to 63 (31, 0x1F) or the file names' two hexadecimal digits (1F)";
        return 1;
    }
    std::string text = StartingConfigText(*nTypeId, *options.nKind);
    char* pszFolder = ::getcwd(nullptr, 0);
    std::string path = std::string(pszFolder != nullptr ? pszFolder : ".") + "/config.ini";
    std::free(pszFolder);
    UniqueFd fd(::open("config.ini", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) {
        int err = errno;
        *pMessage = err == EEXIST ? path + " already exists and is left as it is; remove it first to write a new one"
                                  : "cannot write " + path + ": " + std::strerror(err);
        return 1;
    }
    std::size_t nDone = 0;
    while (nDone < text.size()) {
        ssize_t n = ::write(fd.Get(), text.data() + nDone, text.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            ::unlink("config.ini");
            *pMessage = "cannot write " + path + ": " + std::strerror(err);
            return 1;
        }
        nDone += static_cast<std::size_t>(n);
    }
    *pMessage = "wrote " + path + StrPrintf(" for Type ID 0x%02X (%d): ", static_cast<unsigned>(*nTypeId), *nTypeId) +
                "edit its model name, and its data kinds and options as the printer's release says";
    if (options.strTypeId.size() == 2 && std::isdigit(static_cast<unsigned char>(options.strTypeId[0])) &&
        std::isdigit(static_cast<unsigned char>(options.strTypeId[1]))) {
        // "20" is twenty, not the files' 20 (0x20): say which was taken.
        *pMessage += "; note: " + options.strTypeId + " is read as a decimal number; for files named FW" +
                     options.strTypeId + "... write --type-id 0x" + options.strTypeId;
    }
    return 0;
}
