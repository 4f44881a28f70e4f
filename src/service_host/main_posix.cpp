#include "service_host/updater_manager.h"

int main(int argc, char** argv) { return tarnel::RunProcess(argc, argv); }
