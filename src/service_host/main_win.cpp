// The service is a GUI-subsystem program: it opens no console window in either run mode.
#include <windows.h>

#include <cstdlib>

#include "service_host/updater_manager.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return tarnel::RunProcess(__argc, __argv); }
