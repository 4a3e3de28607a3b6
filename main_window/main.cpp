#include "main_window/zembra_app.h"

int main(int argc, char *argv[])
{
    return ZembraApp::run(argc, argv);
}
