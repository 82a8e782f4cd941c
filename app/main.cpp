#include "kestrel_app.h"

int main(int argc, char** argv) {
    CKestrelApp theApp;
    return theApp.InitInstance(argc, argv);
}
