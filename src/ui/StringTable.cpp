#include "ui/StringTable.h"

#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

struct ResString {
    DWORD dwId;
    const char* pszEnglish;
    const char* pszJapanese;
};

// Sorted by id.
constexpr ResString kStrings[] = {
    {166, "Select the destination.",
     "出力先を選択してください"},
    {167, "&Settings",
     "設定(&S)"},
    {168, "Specified baudrate is not supported.",
     "指定されたボーレートはサポートされていません"},
    {169, "Specify Bluetooth device.",
     "Bluetoothデバイスを選択します"},
    {170, "\nStop bit: 1 bit",
     "\nストップビット: 1ビット"},
    {171, "\nFlow control: Hardware",
     "\nフロー制御: ハードウェア"},
    {172, "&Cancel",
     "キャンセル(&C)"},
    {173, "Specified parity is not supported.\nSupported parity: None, Even, Odd",
     "指定されたパリティはサポートされていません\n有効なパリティ: なし, 偶数, 奇数"},
    {174, "\nByte size: 8 bit.",
     "\nデータビット: 8ビット"},
    {175, "Specified setting is not supported for this software.\nSet as below.\n%s%s%s",
     "指定された設定は本ソフトウェアではサポートされていません\n下記として設定します\n%s%s%s"},
    {178, "&Update",
     "アップデート(&U)"},
    {206, "Specify serial port.",
     "シリアルポートを選択します"},
    {208, "Updating firmware successed.\nVersion %s",
     "ファームウェアのアップデートに成功しました\nバージョン %s"},
    {209, "Attempt to update firmware failed.\nTurn off and on the power of the printer.\nIf you cannot turn off the printer with the power switch,\nplease try below.\n- Disconnect the AC plug.\n- Removing the battery.\n- Disconnect the USB cable.\n\nThe printer may be in boot mode.\nFor details, refer to the page displayed in the browser after this message.",
     "ファームウェアのアップデートに失敗しました\nプリンターの電源をオフにしてください\n電源スイッチでオフにできない場合は下記の方法を試してください\n・ACプラグを抜く\n・バッテリを取り外す\n・USBケーブルを抜く\n\nプリンターはブートモードに入っている可能性があります\n詳しくは、この後ブラウザに表示されるページをご参照ください"},
    {210, "Updating firmware.\nPlease do not turn off the printer.\nDo not quit this software.",
     "ファームウェアのアップデート中です\nプリンターの電源をオフにしないでください\n本ソフトウェアを終了させないでください"},
    {211, "Specify printer on ethernet.",
     "イーサネット上のプリンターを選択します"},
    {212, "Preparing for update...",
     "アップデートの準備中です..."},
    {216, "USB",
     "USB"},
    {217, "Bluetooth",
     "Bluetooth"},
    {218, "Ethernet",
     "イーサネット"},
    {219, "Serial",
     "シリアル"},
    {220, "Specify USB port.",
     "USBポートを選択します"},
    {222, "The firmware is already in the following version.\nVersion %s",
     "ファームウェアは既に下記のバージョンです\nバージョン %s"},
    {223, "Update the firmware.",
     "ファームウェアをアップデートします"},
    {224, "&Select",
     "選択(&S)"},
    {227, "No port or printer found.",
     "ポートあるいはプリンターが見つかりません"},
    {228, "Attempt to connect to printer failed.",
     "プリンターとの接続に失敗しました"},
    {229, "Updating firmware now, please don't quit this software.",
     "ファームウェアのアップデート中のため終了できません"},
    {250, "Updating firmware successed.",
     "FWアップデートに成功しました"},
    {251, "Bad configuration file format. (line:%d)",
     "設定ファイルに異常があります(%d行目)"},
    {252, "Can't open configuration file.",
     "設定ファイルをオープンできません"},
    {253, "Bad configuration file size.",
     "設定ファイルのサイズが異常です"},
    {254, "Error in loading configuration file.",
     "設定ファイルの読み込み中にエラーが発生しました"},
    {255, "The value of Type ID specified in configuration file exceeds the maximum. (%d)",
     "設定ファイルで指定した機種IDの値が最大を超えています(%d)"},
    {256, "No port is specified in configuration file.",
     "設定ファイルでポートが指定されていません"},
    {257, "Specified port is not supported.",
     "指定されたポートはサポートされていません"},
    {258, "Wireless LAN",
     "無線LAN"},
    {259, "If the printer is in SimpleAP mode, reconnect and click [OK].\nIf the printer is in Client mode, wait until WIRELESS LED lights continuously and click [OK].",
     "SimpleAPモードの場合は再接続してOKを押してください\nClientモードの場合はWIRELESS LED が連続点灯になるまで待ってOKを押してください"},
    {260, "Help",
     "ヘルプ"},
    {261, "If the power of the printer is off, turn it on and click [OK].\nIf the power of the printer is on, just click [OK].",
     "プリンターの電源がオフになっている場合は、電源を\nオンにしてOKを押してください\n電源がオフになっていない場合はそのままOKを押してください"},
    {262, "Attempt to update firmware failed.\nTurn off and on the power of the printer.\nIf you cannot turn off the printer with the power switch,\nplease try below.\n- Disconnect the AC plug.\n- Removing the battery.\n- Disconnect the USB cable.",
     "ファームウェアのアップデートに失敗しました\n再試行します。プリンターの電源を入れなおしてください\n電源スイッチでオフにできない場合は下記の方法を試してください\n・ACプラグを抜く\n・バッテリを取り外す\n・USBケーブルを抜く"},
    {263, "There is no need to update.",
     "アップデートの必要はありません。"},
    {264, "Wireless LAN/Ethernet",
     "無線LAN/イーサネット"},
    {265, "Wireless LAN model:\n  If the printer is in SimpleAP mode, reconnect and click [OK].\n  If the printer is in Client mode, wait for the printer to connect\n  wirelessly and click [OK].\nEthernet model:\n  Click [OK].",
     "無線LANモデルの場合:\n  SimpleAPモードの場合は再接続してOKを押してください\n  Clientモードの場合はプリンターが無線接続状態になるまで待ってOKを\n  押してください\nイーサネットモデルの場合:\n  OKを押してください"},
    {300, "The lock file %s cannot be opened.\nRemove it (it may have been left by a program run as another user), then start this software again.",
     "ロックファイル %s を開けません\n(別のユーザーとして実行されたプログラムが残した可能性があります)\nこのファイルを削除してから、本ソフトウェアを起動し直してください"},
    {301, "Another firmware update program is running on this computer.\nWait until it has ended, then start this software again.",
     "このコンピューターで別のファームウェアアップデートプログラムが実行中です\n終了するまで待ってから、本ソフトウェアを起動し直してください"},
    {302, "&Bits per second:",
     "ビット/秒(&B):"},
    {303, "&Data bits:",
     "データビット(&D):"},
    {304, "&Parity:",
     "パリティ(&P):"},
    {305, "&Stop bits:",
     "ストップビット(&S):"},
    {306, "&Flow control:",
     "フロー制御(&F):"},
    {307, "None",
     "なし"},
    {308, "Odd",
     "奇数"},
    {309, "Even",
     "偶数"},
    {310, "Mark",
     "マーク"},
    {311, "Space",
     "スペース"},
    {312, "None",
     "なし"},
    {313, "Xon / Xoff",
     "Xon / Xoff"},
    {314, "Hardware",
     "ハードウェア"},
    {315, "OK",
     "OK"},
    {400, "Choose the folder that holds config.ini and the update files",
     "config.ini と更新ファイルのあるフォルダーを選択してください"},
    {401, "The folder %s holds no config.ini.\nChoose the folder that holds config.ini and the update files (FW*.bin, ...).",
     "フォルダー %s には config.ini がありません\nconfig.ini と更新ファイル (FW*.bin など) のあるフォルダーを選択してください"},
    {402, "The folder %s does not exist.",
     "フォルダー %s がありません"},
    {403, "Or type the printer's IPv4 address:",
     "またはプリンターのIPv4アドレスを入力:"},
    {404, "&Add",
     "追加(&A)"},
    {405, "\"%s\" is not an IPv4 address.\nType four numbers from 0 to 255 separated by dots, such as 192.168.0.10.",
     "「%s」はIPv4アドレスではありません\n0から255までの4つの数字をドットで区切って入力してください (例: 192.168.0.10)"},
    {406, "%s\t [typed address]",
     "%s\t [入力されたアドレス]"},
    {407, "The port name is too long (%u characters; at most %u):\n%s",
     "ポート名が長すぎます (%u文字、最大%u文字):\n%s"},
    {408, "Help page: %s",
     "ヘルプページ: %s"},
    {500, "Sending",
     "送信中"},
    {501, "Firmware",
     "ファームウェア"},
    {502, "Font data",
     "フォントデータ"},
    {503, "Code page data",
     "コードページデータ"},
    {504, "CPCL font data",
     "CPCLフォントデータ"},
    {505, "ZPL font data",
     "ZPLフォントデータ"},
    {506, "Data",
     "データ"},
    {507, "The printer accepts the firmware after a %u s pause",
     "プリンターがファームウェアを受け付けるまで%u秒待っています"},
    {508, "Waiting for the printer to restart",
     "プリンターの再起動を待っています"},
    {509, "Waiting for the printer to restart (up to %u s)",
     "プリンターの再起動を待っています (最大%u秒)"},
    {510, "Checking the new firmware",
     "新しいファームウェアを確認しています"},
    {511, "Checking the font data",
     "フォントデータを確認しています"},
    {512, "Checking the code page data",
     "コードページデータを確認しています"},
    {513, "Checking the CPCL font data",
     "CPCLフォントデータを確認しています"},
    {514, "Checking the ZPL font data",
     "ZPLフォントデータを確認しています"},
    {515, "Checking the data",
     "データを確認しています"},
    {516, "No printer answered the search. Type the printer's IPv4 address:",
     "検索に応答したプリンターはありません。プリンターのIPv4アドレスを入力:"},
};

const ResString* FindString(DWORD dwId) noexcept {
    for (const ResString& s : kStrings) {
        if (s.dwId == dwId) return &s;
    }
    return nullptr;
}

bool NonEmpty(const char* psz) noexcept { return psz != nullptr && psz[0] != '\0'; }

}  // namespace

UiLanguage UiLanguageFromLocale(const char* pszLcAll, const char* pszLcMessages, const char* pszLang) noexcept {
    for (const char* psz : {pszLcAll, pszLcMessages, pszLang}) {
        if (NonEmpty(psz)) return std::strncmp(psz, "ja", 2) == 0 ? UiLanguage::Japanese : UiLanguage::English;
    }
    return UiLanguage::English;
}

UiLanguage ChooseUiLanguage() noexcept {
    return UiLanguageFromLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

std::string LoadResString(DWORD dwId) { return LoadResString(dwId, ChooseUiLanguage()); }

std::string LoadResString(DWORD dwId, UiLanguage language) {
    const ResString* p = FindString(dwId);
    if (p == nullptr) return {};
    return language == UiLanguage::Japanese ? p->pszJapanese : p->pszEnglish;
}

std::size_t ResStringCount() noexcept { return std::size(kStrings); }

DWORD ResStringIdAt(std::size_t nIndex) noexcept { return nIndex < std::size(kStrings) ? kStrings[nIndex].dwId : 0; }
