#pragma once
// The program's texts in English and Japanese, loaded by id.
#include <cstddef>
#include <string>

#include "platform/Types.h"

enum class UiLanguage { English, Japanese };

// Ids of the string table.
inline constexpr DWORD IDS_SELECT_DESTINATION = 166;
inline constexpr DWORD IDS_SETTINGS = 167;
inline constexpr DWORD IDS_BAUDRATE_NOT_SUPPORTED = 168;
inline constexpr DWORD IDS_SPECIFY_BLUETOOTH = 169;
inline constexpr DWORD IDS_STOP_BIT_1 = 170;
inline constexpr DWORD IDS_FLOW_HARDWARE = 171;
inline constexpr DWORD IDS_CANCEL = 172;
inline constexpr DWORD IDS_PARITY_NOT_SUPPORTED = 173;
inline constexpr DWORD IDS_BYTE_SIZE_8 = 174;
inline constexpr DWORD IDS_SETTING_NOT_SUPPORTED = 175;
inline constexpr DWORD IDS_UPDATE = 178;
inline constexpr DWORD IDS_SPECIFY_SERIAL = 206;
inline constexpr DWORD IDS_FW_UPDATE_SUCCEEDED_VERSION = 208;
inline constexpr DWORD IDS_FW_UPDATE_FAILED_BOOT_MODE = 209;
inline constexpr DWORD IDS_UPDATING_FIRMWARE = 210;
inline constexpr DWORD IDS_SPECIFY_ETHERNET = 211;
inline constexpr DWORD IDS_PREPARING = 212;
inline constexpr DWORD IDS_KIND_USB = 216;
inline constexpr DWORD IDS_KIND_BLUETOOTH = 217;
inline constexpr DWORD IDS_KIND_ETHERNET = 218;
inline constexpr DWORD IDS_KIND_SERIAL = 219;
inline constexpr DWORD IDS_SPECIFY_USB = 220;
inline constexpr DWORD IDS_FW_ALREADY_VERSION = 222;
inline constexpr DWORD IDS_UPDATE_FIRMWARE = 223;
inline constexpr DWORD IDS_SELECT = 224;
inline constexpr DWORD IDS_NO_PORT_FOUND = 227;
inline constexpr DWORD IDS_CONNECT_FAILED = 228;
inline constexpr DWORD IDS_CANNOT_QUIT = 229;
inline constexpr DWORD IDS_FW_UPDATE_SUCCEEDED = 250;
inline constexpr DWORD IDS_CONFIG_BAD_FORMAT = 251;
inline constexpr DWORD IDS_CONFIG_CANNOT_OPEN = 252;
inline constexpr DWORD IDS_CONFIG_BAD_SIZE = 253;
inline constexpr DWORD IDS_CONFIG_LOAD_ERROR = 254;
inline constexpr DWORD IDS_CONFIG_TYPE_ID_TOO_BIG = 255;
inline constexpr DWORD IDS_CONFIG_NO_PORT = 256;
inline constexpr DWORD IDS_PORT_NOT_SUPPORTED = 257;
inline constexpr DWORD IDS_WIRELESS_LAN = 258;
inline constexpr DWORD IDS_RECONNECT_WIRELESS = 259;
inline constexpr DWORD IDS_HELP = 260;
inline constexpr DWORD IDS_POWER_ON_PROMPT = 261;
inline constexpr DWORD IDS_FW_UPDATE_FAILED = 262;
inline constexpr DWORD IDS_NO_NEED_TO_UPDATE = 263;
inline constexpr DWORD IDS_WIRELESS_OR_ETHERNET = 264;
inline constexpr DWORD IDS_RECONNECT_WIRELESS_OR_ETHERNET = 265;
// The program's own additions: start-up refusals and the serial settings dialog.
inline constexpr DWORD IDS_INSTANCE_LOCK_FAILED = 300;
inline constexpr DWORD IDS_OTHER_UPDATER_RUNNING = 301;
inline constexpr DWORD IDS_BITS_PER_SECOND = 302;
inline constexpr DWORD IDS_DATA_BITS = 303;
inline constexpr DWORD IDS_PARITY = 304;
inline constexpr DWORD IDS_STOP_BITS = 305;
inline constexpr DWORD IDS_FLOW_CONTROL = 306;
inline constexpr DWORD IDS_PARITY_NONE = 307;
inline constexpr DWORD IDS_PARITY_ODD = 308;
inline constexpr DWORD IDS_PARITY_EVEN = 309;
inline constexpr DWORD IDS_PARITY_MARK = 310;
inline constexpr DWORD IDS_PARITY_SPACE = 311;
inline constexpr DWORD IDS_FLOW_NONE = 312;
inline constexpr DWORD IDS_FLOW_XONXOFF = 313;
inline constexpr DWORD IDS_FLOW_HARDWARE_ITEM = 314;
inline constexpr DWORD IDS_OK = 315;
// The update folder, the typed LAN address, a port name too long, the help page's address.
inline constexpr DWORD IDS_CHOOSE_UPDATE_FOLDER = 400;
inline constexpr DWORD IDS_FOLDER_WITHOUT_CONFIG = 401;
inline constexpr DWORD IDS_FOLDER_NOT_FOUND = 402;
inline constexpr DWORD IDS_TYPE_ADDRESS = 403;
inline constexpr DWORD IDS_ADD = 404;
inline constexpr DWORD IDS_NOT_AN_ADDRESS = 405;
inline constexpr DWORD IDS_TYPED_ADDRESS_LINE = 406;
inline constexpr DWORD IDS_PORT_NAME_TOO_LONG = 407;
inline constexpr DWORD IDS_HELP_PAGE_ADDRESS = 408;
// The steps of an update as the progress shows them, and the LAN search that found nothing.
inline constexpr DWORD IDS_STEP_SENDING = 500;
inline constexpr DWORD IDS_STEP_FIRMWARE = 501;
inline constexpr DWORD IDS_STEP_FONT_DATA = 502;
inline constexpr DWORD IDS_STEP_CODE_PAGE = 503;
inline constexpr DWORD IDS_STEP_CPCL_FONT = 504;
inline constexpr DWORD IDS_STEP_ZPL_FONT = 505;
inline constexpr DWORD IDS_STEP_DATA = 506;
inline constexpr DWORD IDS_STEP_FIRST_BLOCK_PAUSE = 507;
inline constexpr DWORD IDS_STEP_RESTART_WAIT = 508;
inline constexpr DWORD IDS_STEP_RESTART_WAIT_LEFT = 509;
inline constexpr DWORD IDS_STEP_CHECK_FIRMWARE = 510;
inline constexpr DWORD IDS_STEP_CHECK_FONT_DATA = 511;
inline constexpr DWORD IDS_STEP_CHECK_CODE_PAGE = 512;
inline constexpr DWORD IDS_STEP_CHECK_CPCL_FONT = 513;
inline constexpr DWORD IDS_STEP_CHECK_ZPL_FONT = 514;
inline constexpr DWORD IDS_STEP_CHECK_DATA = 515;
inline constexpr DWORD IDS_NO_PRINTER_ANSWERED = 516;

// Japanese when the first non-empty of LC_ALL, LC_MESSAGES and LANG starts with "ja",
// English otherwise (arguments may be null).
UiLanguage UiLanguageFromLocale(const char* pszLcAll, const char* pszLcMessages, const char* pszLang) noexcept;
// The same choice from this process's environment, read at each call.
UiLanguage ChooseUiLanguage() noexcept;

// The text of an id in the user's language; empty for an id the table does not hold.
std::string LoadResString(DWORD dwId);
std::string LoadResString(DWORD dwId, UiLanguage language);

// Every id the table holds, in ascending order (for checks that each has both texts).
std::size_t ResStringCount() noexcept;
DWORD ResStringIdAt(std::size_t nIndex) noexcept;
