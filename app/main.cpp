// qan640-bootloader: the window of the provisioning tool. It reads no option.
#include "app/BootLoaderApp.h"

int main(int argc, char** argv) {
    CQan640BootLoaderApp app(argc, argv);
    return app.InitInstance();
}
