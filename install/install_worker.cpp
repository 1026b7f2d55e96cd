#include "install/install_worker.h"

void InstallWorker(HWND) {}
