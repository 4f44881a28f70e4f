// A DLL that an installer loads by name when the tests ask it to (record_args_installer.cpp):
// placed beside a downloaded installer, it shows whether the installer that ran sat beside
// what the caller put there. It does nothing but exist.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
