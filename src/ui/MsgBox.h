#pragma once
// Message-box styles and answers with their Windows values, so that callers, logs and
// front ends agree on one coding, and the interface through which every box is shown.
#include <string>

#include "platform/Types.h"

// Button sets (MB_TYPEMASK).
inline constexpr DWORD MB_OK = 0x00000000;
inline constexpr DWORD MB_OKCANCEL = 0x00000001;
inline constexpr DWORD MB_ABORTRETRYIGNORE = 0x00000002;
inline constexpr DWORD MB_YESNOCANCEL = 0x00000003;
inline constexpr DWORD MB_YESNO = 0x00000004;
inline constexpr DWORD MB_RETRYCANCEL = 0x00000005;
inline constexpr DWORD MB_CANCELTRYCONTINUE = 0x00000006;
inline constexpr DWORD MB_TYPEMASK = 0x0000000F;
// Icons (MB_ICONMASK).
inline constexpr DWORD MB_ICONHAND = 0x00000010;
inline constexpr DWORD MB_ICONERROR = MB_ICONHAND;
inline constexpr DWORD MB_ICONSTOP = MB_ICONHAND;
inline constexpr DWORD MB_ICONQUESTION = 0x00000020;
inline constexpr DWORD MB_ICONEXCLAMATION = 0x00000030;
inline constexpr DWORD MB_ICONWARNING = MB_ICONEXCLAMATION;
inline constexpr DWORD MB_ICONASTERISK = 0x00000040;
inline constexpr DWORD MB_ICONINFORMATION = MB_ICONASTERISK;
inline constexpr DWORD MB_ICONMASK = 0x000000F0;
// Default button (MB_DEFMASK).
inline constexpr DWORD MB_DEFBUTTON1 = 0x00000000;
inline constexpr DWORD MB_DEFBUTTON2 = 0x00000100;
inline constexpr DWORD MB_DEFBUTTON3 = 0x00000200;
inline constexpr DWORD MB_DEFMASK = 0x00000F00;
// Modality and placement.
inline constexpr DWORD MB_APPLMODAL = 0x00000000;
inline constexpr DWORD MB_SYSTEMMODAL = 0x00001000;
inline constexpr DWORD MB_TASKMODAL = 0x00002000;
inline constexpr DWORD MB_SETFOREGROUND = 0x00010000;
inline constexpr DWORD MB_TOPMOST = 0x00040000;

// Answers. 0 means that no box could be shown.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;
inline constexpr int IDTRYAGAIN = 10;
inline constexpr int IDCONTINUE = 11;

// One modal message box. Each front end (desktop, terminal, tests) implements it.
class IMessageBox {
public:
    virtual ~IMessageBox() = default;

    // Shows the text under the caption with the style's buttons and icon, modal to the
    // program's main window, and returns the answer (IDOK, IDRETRY, IDCANCEL, ...), or 0
    // when no box could be shown. Blocks the calling thread until answered. Callable from
    // any thread: an implementation with a UI thread hands the box over to it. The caller
    // holds no lock of the message layer. Must not change the thread's last error.
    virtual int MessageBox(const std::string& text, const std::string& caption, DWORD dwStyle) = 0;
};
