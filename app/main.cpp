// qan640-bootloader: the window of the provisioning tool. It reads no option.
#include "app/BootLoaderApp.h"
#include "core/HeapArenas.h"

int main(int argc, char** argv) {
    LimitHeapArenas();
    CQan640BootLoaderApp app(argc, argv);
    return app.InitInstance();
}
